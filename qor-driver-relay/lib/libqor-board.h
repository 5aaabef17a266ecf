/* Board library operations used by the relay driver. */
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

#ifdef __cplusplus
}
#endif

#endif
