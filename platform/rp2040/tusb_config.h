// TinyUSB device configuration for the board: full-speed device on the RP2040's controller,
// one CDC port (the host console) with an 8 KiB receive FIFO and a 256-byte transmit FIFO. The
// reset interface is an application class driver and needs no entry here. No MSC, HID, MIDI or
// vendor class. The simulated board's build includes this file too.
#ifndef ORLIX_TUSB_CONFIG_H
#define ORLIX_TUSB_CONFIG_H

#ifdef __cplusplus
extern "C" {
#endif

// The Pico SDK's TinyUSB glue also defines these two on the command line.
#ifndef CFG_TUSB_MCU
#define CFG_TUSB_MCU OPT_MCU_RP2040
#endif
#ifndef CFG_TUSB_OS
#define CFG_TUSB_OS OPT_OS_PICO
#endif

#ifndef CFG_TUSB_DEBUG
#define CFG_TUSB_DEBUG 0
#endif

// Root port 0 is a full-speed device: tusb_rhport_init(0, NULL) takes its role from here.
#define CFG_TUSB_RHPORT0_MODE (OPT_MODE_DEVICE | OPT_MODE_FULL_SPEED)
#define CFG_TUD_ENABLED 1
#define CFG_TUH_ENABLED 0
#define BOARD_TUD_RHPORT 0
#define CFG_TUD_MAX_SPEED OPT_MODE_FULL_SPEED

#ifndef CFG_TUSB_MEM_SECTION
#define CFG_TUSB_MEM_SECTION
#endif
#ifndef CFG_TUSB_MEM_ALIGN
#define CFG_TUSB_MEM_ALIGN __attribute__((aligned(4)))
#endif

#define CFG_TUD_ENDPOINT0_SIZE 64

// Device classes
#define CFG_TUD_CDC 1
#define CFG_TUD_MSC 0
#define CFG_TUD_HID 0
#define CFG_TUD_MIDI 0
#define CFG_TUD_VENDOR 0

// CDC FIFOs and the size of its bulk endpoints (64 bytes at full speed). The receive FIFO
// takes a whole window's worth of image (8 blocks of 1024 bytes) while the loop is busy
// sending the previous window to the screen unit, so that the next window is full. The
// console still reads only what the bridge's ring can take: a full FIFO holds the host back.
#define CFG_TUD_CDC_RX_BUFSIZE 8192
#define CFG_TUD_CDC_TX_BUFSIZE 256
#define CFG_TUD_CDC_EP_BUFSIZE 64

#ifdef __cplusplus
}
#endif

#endif // ORLIX_TUSB_CONFIG_H
