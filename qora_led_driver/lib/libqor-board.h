/* Board library operations used by the LED status blinker. */
#ifndef LIBQOR_BOARD_H
#define LIBQOR_BOARD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void board_lib_init(void);
void board_gpio_led_init(void);
void board_gpio_led(uint8_t level);
void board_delay_ms(uint32_t ms);

#ifdef __cplusplus
}
#endif

#endif
