// Simulated board: the interrupt controller (NVIC) of core 0.
#pragma once

#include "pico/types.h"

#define TIMER_IRQ_0 0
#define TIMER_IRQ_1 1
#define TIMER_IRQ_2 2
#define TIMER_IRQ_3 3
#define USBCTRL_IRQ 5
#define PIO0_IRQ_0 7
#define PIO0_IRQ_1 8
#define PIO1_IRQ_0 9
#define PIO1_IRQ_1 10
#define DMA_IRQ_0 11
#define DMA_IRQ_1 12
#define UART0_IRQ 20
#define UART1_IRQ 21
#define FIRST_USER_IRQ 26
#define NUM_USER_IRQS 6
#define NUM_IRQS 32

#define PICO_DEFAULT_IRQ_PRIORITY 0x80
#define PICO_LOWEST_IRQ_PRIORITY 0xff
#define PICO_HIGHEST_IRQ_PRIORITY 0x00
#define PICO_SHARED_IRQ_HANDLER_DEFAULT_ORDER_PRIORITY 0x80
#define PICO_SHARED_IRQ_HANDLER_HIGHEST_ORDER_PRIORITY 0xff
#define PICO_SHARED_IRQ_HANDLER_LOWEST_ORDER_PRIORITY 0x00

typedef void (*irq_handler_t)(void);

#ifdef __cplusplus
extern "C" {
#endif

void irq_set_priority(uint num, uint8_t hardware_priority);
uint irq_get_priority(uint num);
void irq_set_enabled(uint num, bool enabled);
bool irq_is_enabled(uint num);
void irq_set_exclusive_handler(uint num, irq_handler_t handler);
void irq_add_shared_handler(uint num, irq_handler_t handler, uint8_t order_priority);
void irq_remove_handler(uint num, irq_handler_t handler);
bool irq_has_handler(uint num);
bool irq_has_shared_handler(uint num);
void irq_set_pending(uint num);
void irq_clear(uint num);
void user_irq_claim(uint irq_num);
void user_irq_unclaim(uint irq_num);
int user_irq_claim_unused(bool required);
bool user_irq_is_claimed(uint irq_num);

#ifdef __cplusplus
}
#endif
