/* Board I/O library: relays, keys, status LED and a millisecond delay.
 * This is the full interface; each program keeps its own header with the
 * operations it uses. */
#ifndef LIBQOR_BOARD_H
#define LIBQOR_BOARD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void board_lib_init(void);
void board_gpio_init(void);
void board_gpio_set_relay_0(uint8_t level);
void board_gpio_set_relay_1(uint8_t level);
uint8_t board_gpio_get_key_0(void);
uint8_t board_gpio_get_key_1(void);
void board_gpio_led_init(void);
void board_gpio_led(uint8_t level);
void board_delay_ms(uint32_t ms);

#ifdef __cplusplus
}
#endif

#endif
