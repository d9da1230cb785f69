#include "usb.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/usbd_pvt.h"
#include "fwupdate.h"
#include "hardware/irq.h"
#include "hardware/watchdog.h"
#include "pico/bootrom.h"
#include "pico/mutex.h"
#include "pico/stdlib.h"
#include "tusb.h"

namespace {

constexpr uint8_t lo(uint16_t v) {
    return static_cast<uint8_t>(v & 0xFF);
}
constexpr uint8_t hi(uint16_t v) {
    return static_cast<uint8_t>(v >> 8);
}

// ---- descriptors ------------------------------------------------------------------------

enum : uint8_t { ITF_NUM_RESET = 0, ITF_NUM_CDC = 1, ITF_NUM_CDC_DATA = 2, ITF_NUM_TOTAL = 3 };
enum : uint8_t { STR_LANGUAGES, STR_MANUFACTURER, STR_PRODUCT, STR_SERIAL, STR_RESET, STR_CDC };

constexpr uint8_t EP_CDC_NOTIF = 0x81;
constexpr uint8_t EP_CDC_OUT = 0x02;
constexpr uint8_t EP_CDC_IN = 0x82;
constexpr uint16_t EP_CDC_NOTIF_SIZE = 8;
constexpr uint8_t EP_CDC_NOTIF_INTERVAL = 16;
constexpr uint16_t EP_CDC_BULK_SIZE = 64;
constexpr uint16_t USB_BCD_USB = 0x0200;
constexpr uint16_t USB_BCD_CDC = 0x0120;
constexpr uint8_t CFG_ATTR_BUS_POWERED = 0x80;
constexpr uint8_t CFG_MAX_POWER_2MA = 125;  // 250 mA
constexpr uint8_t CDC_ACM_CAPABILITIES = 0x06;  // line coding and control line state, send break
constexpr uint8_t DESC_INTERFACE_LEN = 9;

const uint8_t usbd_desc_device[] = {
    USB_DESC_DEVICE_LEN, TUSB_DESC_DEVICE, lo(USB_BCD_USB), hi(USB_BCD_USB),
    TUSB_CLASS_MISC, MISC_SUBCLASS_COMMON, MISC_PROTOCOL_IAD,  // interface association descriptors
    CFG_TUD_ENDPOINT0_SIZE,
    lo(USB_VENDOR_ID), hi(USB_VENDOR_ID), lo(USB_PRODUCT_ID), hi(USB_PRODUCT_ID),
    lo(USB_DEVICE_RELEASE), hi(USB_DEVICE_RELEASE),
    STR_MANUFACTURER, STR_PRODUCT, STR_SERIAL,
    1,  // configurations
};
static_assert(sizeof usbd_desc_device == USB_DESC_DEVICE_LEN, "device descriptor is 18 bytes");

const uint8_t usbd_desc_cfg[] = {
    // configuration
    9, TUSB_DESC_CONFIGURATION, lo(USB_DESC_CFG_LEN), hi(USB_DESC_CFG_LEN), ITF_NUM_TOTAL, 1, 0,
    CFG_ATTR_BUS_POWERED, CFG_MAX_POWER_2MA,
    // interface 0: the reset interface, no endpoints
    DESC_INTERFACE_LEN, TUSB_DESC_INTERFACE, ITF_NUM_RESET, 0, 0,
    USB_RESET_INTERFACE_CLASS, USB_RESET_INTERFACE_SUBCLASS, USB_RESET_INTERFACE_PROTOCOL, STR_RESET,
    // interface association: the serial port's two interfaces
    8, TUSB_DESC_INTERFACE_ASSOCIATION, ITF_NUM_CDC, 2,
    TUSB_CLASS_CDC, CDC_COMM_SUBCLASS_ABSTRACT_CONTROL_MODEL, CDC_COMM_PROTOCOL_NONE, 0,
    // interface 1: CDC communications, one notification endpoint
    DESC_INTERFACE_LEN, TUSB_DESC_INTERFACE, ITF_NUM_CDC, 0, 1,
    TUSB_CLASS_CDC, CDC_COMM_SUBCLASS_ABSTRACT_CONTROL_MODEL, CDC_COMM_PROTOCOL_NONE, STR_CDC,
    // CDC header, call management, abstract control management, union
    5, TUSB_DESC_CS_INTERFACE, CDC_FUNC_DESC_HEADER, lo(USB_BCD_CDC), hi(USB_BCD_CDC),
    5, TUSB_DESC_CS_INTERFACE, CDC_FUNC_DESC_CALL_MANAGEMENT, 0, ITF_NUM_CDC_DATA,
    4, TUSB_DESC_CS_INTERFACE, CDC_FUNC_DESC_ABSTRACT_CONTROL_MANAGEMENT, CDC_ACM_CAPABILITIES,
    5, TUSB_DESC_CS_INTERFACE, CDC_FUNC_DESC_UNION, ITF_NUM_CDC, ITF_NUM_CDC_DATA,
    // notification endpoint 1 IN
    7, TUSB_DESC_ENDPOINT, EP_CDC_NOTIF, TUSB_XFER_INTERRUPT, lo(EP_CDC_NOTIF_SIZE), hi(EP_CDC_NOTIF_SIZE),
    EP_CDC_NOTIF_INTERVAL,
    // interface 2: CDC data, bulk endpoints 2 OUT and 2 IN
    DESC_INTERFACE_LEN, TUSB_DESC_INTERFACE, ITF_NUM_CDC_DATA, 0, 2, TUSB_CLASS_CDC_DATA, 0, 0, 0,
    7, TUSB_DESC_ENDPOINT, EP_CDC_OUT, TUSB_XFER_BULK, lo(EP_CDC_BULK_SIZE), hi(EP_CDC_BULK_SIZE), 0,
    7, TUSB_DESC_ENDPOINT, EP_CDC_IN, TUSB_XFER_BULK, lo(EP_CDC_BULK_SIZE), hi(EP_CDC_BULK_SIZE), 0,
};
static_assert(sizeof usbd_desc_cfg == USB_DESC_CFG_LEN, "configuration descriptor is 84 bytes");

// Entry 0 has no text: index 0 is answered with the language list.
const char *const usbd_desc_str[USB_STRING_COUNT] = {
    nullptr, "Velqar Embedded", "vt58", "11111111", "Reset", "IO Firmware Bridge",
};

constexpr uint16_t DESC_STR_TYPE = TUSB_DESC_STRING << 8;

uint16_t desc_str[USB_DESC_STR_WORDS];
static_assert(sizeof desc_str == 2 * (1 + USB_DESC_STR_MAX_CHARS), "header word and 19 characters");

// ---- the reset interface ---------------------------------------------------------------

uint8_t interface_num_vendor;
bool reboot_scheduled;

// The SDK's watchdog_update() reloads the time-out that watchdog_reboot() set,
// and the main loop feeds the watchdog after every poll: a reboot armed with a
// 100 ms time-out would never come while the board runs. The 100 ms are kept
// by an alarm instead, which then triggers the watchdog at once.
int64_t reboot_alarm(alarm_id_t id, void *user_data) {
    (void)id;
    (void)user_data;
    watchdog_reboot(0, 0, 0);
    return 0;
}

void resetd_init() {}

void resetd_reset(uint8_t rhport) {
    (void)rhport;
    interface_num_vendor = 0;
}

uint16_t resetd_open(uint8_t rhport, tusb_desc_interface_t const *itf_desc, uint16_t max_len) {
    (void)rhport;
    if (itf_desc->bInterfaceClass != USB_RESET_INTERFACE_CLASS ||
        itf_desc->bInterfaceSubClass != USB_RESET_INTERFACE_SUBCLASS ||
        itf_desc->bInterfaceProtocol != USB_RESET_INTERFACE_PROTOCOL || max_len < sizeof(tusb_desc_interface_t)) {
        return 0;
    }
    interface_num_vendor = itf_desc->bInterfaceNumber;
    return sizeof(tusb_desc_interface_t);
}

// A standard request to the interface: GET_STATUS is answered with two zero
// bytes; the stack answers GET_INTERFACE and SET_INTERFACE itself once this
// refuses them, and stalls the rest (an interface has no features to set).
bool resetd_standard_request(uint8_t rhport, tusb_control_request_t const *request) {
    static const uint8_t interface_status[2] = {0, 0};
    if (request->bRequest != TUSB_REQ_GET_STATUS || request->bmRequestType_bit.direction != TUSB_DIR_IN) {
        return false;
    }
    return tud_control_xfer(rhport, request, const_cast<uint8_t *>(interface_status), sizeof interface_status);
}

bool resetd_control_xfer_cb(uint8_t rhport, uint8_t stage, tusb_control_request_t const *request) {
    if (stage != CONTROL_STAGE_SETUP) return true;
    if (request->wIndex != interface_num_vendor) return false;
    // The stack hands standard requests to the interface here too: they never restart the board.
    if (request->bmRequestType_bit.type == TUSB_REQ_TYPE_STANDARD) return resetd_standard_request(rhport, request);
    if (request->bmRequestType != USB_RESET_REQUEST_TYPE_CLASS &&
        request->bmRequestType != USB_RESET_REQUEST_TYPE_VENDOR) {
        return false;
    }
    switch (request->bRequest) {
        case USB_RESET_REQUEST_BOOTSEL:
            reset_usb_boot(1u << USB_BOOTSEL_ACTIVITY_PIN, request->wValue & USB_BOOTSEL_DISABLE_MASK);
        case USB_RESET_REQUEST_FLASH:
            if (!reboot_scheduled) {
                // A reboot that cannot be scheduled is refused rather than accepted.
                if (add_alarm_in_us(uint64_t{USB_REBOOT_DELAY_MS} * 1000, reboot_alarm, nullptr, true) <= 0) {
                    return false;
                }
                reboot_scheduled = true;
            }
            // Answered now; the board restarts 100 ms later.
            return tud_control_status(rhport, request);
        default:
            return false;
    }
}

bool resetd_xfer_cb(uint8_t rhport, uint8_t ep_addr, xfer_result_t result, uint32_t xferred_bytes) {
    (void)rhport;
    (void)ep_addr;
    (void)result;
    (void)xferred_bytes;
    return true;
}

const usbd_class_driver_t _resetd_driver = {
    nullptr,  // name
    resetd_init,
    nullptr,  // deinit
    resetd_reset,
    resetd_open,
    resetd_control_xfer_cb,
    resetd_xfer_cb,
    nullptr,  // sof
};

// ---- the USB stack's worker ----------------------------------------------------------------

uint8_t low_priority_irq_num;
mutex_t stdio_usb_mutex;
// Set by the worker when it found the console inside the stack. Nothing else
// would run the stack until the loop's next pass, which may be a whole window
// of firmware frames away: the data waiting would sit there and the endpoint
// stay unarmed. The holder gives the worker its turn back on release.
volatile bool worker_skipped;

void usb_mutex_exit() {
    mutex_exit(&stdio_usb_mutex);
    if (worker_skipped) {
        worker_skipped = false;
        irq_set_pending(low_priority_irq_num);
    }
}

void low_priority_worker_irq() {
    if (mutex_try_enter(&stdio_usb_mutex, nullptr)) {
        tud_task();
        mutex_exit(&stdio_usb_mutex);
    } else {
        worker_skipped = true;
    }
}

// Runs after the USB stack's own handler of the controller interrupt.
void usb_irq() {
    irq_set_pending(low_priority_irq_num);
}

int64_t timer_task(alarm_id_t id, void *user_data) {
    (void)id;
    (void)user_data;
    irq_set_pending(low_priority_irq_num);
    return USB_FALLBACK_TASK_INTERVAL_US;
}

// ---- the host console: its state and helpers ---------------------------------------------------

constexpr char CMD_FWUP[] = "FWUP ";
constexpr char CMD_IOBOOTSEL[] = "IOBOOTSEL";
constexpr char BOOTSEL_REPLY[] = "BOOTSEL\n";
constexpr int CMD_MAX_CHARS = static_cast<int>(USB_CMD_LINE_SIZE) - 1;

char cmd_line[USB_CMD_LINE_SIZE];
int cmd_pos;
bool fw_mode;
const char *volatile pending_report;

uint32_t image_announced;  // the size after "FWUP " of the last session
uint32_t image_taken;      // image bytes read from the host since then
uint32_t image_left;       // bytes of an image whose session ended early, still to be dropped
// The host's quiet time ends here: USB_IMAGE_QUIET_MS after its last bytes
// arrived, or after the console last made room for more (a host held back
// by a full buffer cannot send).
absolute_time_t image_quiet_deadline;
uint32_t rx_known;     // host bytes waiting in the stack when the console last looked
bool terminal_dtr;     // DTR as the host last set it
bool terminal_before;  // a terminal had the port open since the device was configured
// Set when a terminal connection begins: a session the earlier one left
// running is ended by the console's next pass, from the main loop.
volatile bool session_superseded;
uint8_t image_buf[USB_FW_READ_SIZE];   // image bytes on their way from the stack to the ring

// The image size after "FWUP ": decimal digits after optional white space.
// Zero, no digits, a minus sign or a size beyond 32 bits give 0: no session.
uint32_t fwup_size(const char *text) {
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    if (*p == '-') return 0;
    errno = 0;
    const unsigned long long size = strtoull(p, nullptr, 10);
    if (errno == ERANGE || size > UINT32_MAX) return 0;
    return static_cast<uint32_t>(size);
}

void handle_fw_command(const char *line) {
    if (strncmp(line, CMD_FWUP, strlen(CMD_FWUP)) == 0) {
        const uint32_t size = fwup_size(line + strlen(CMD_FWUP));
        if (size != 0) {
            fwupdate_start(size);
            fw_mode = true;
            image_announced = size;
            image_taken = 0;
        }
        return;
    }
    if (strncmp(line, CMD_IOBOOTSEL, strlen(CMD_IOBOOTSEL)) == 0) {
        // The screen unit is not left at the fast rate of a session that
        // the restart would cut off.
        fwupdate_abort();
        tud_cdc_n_write(USB_CDC_PORT, BOOTSEL_REPLY, strlen(BOOTSEL_REPLY));
        tud_cdc_n_write_flush(USB_CDC_PORT);
        // The worker cannot run the stack while the console holds it, so the
        // reply is sent from here.
        for (int i = 0; i < USB_BOOTSEL_FLUSH_PASSES; i++) {
            tud_task();
            sleep_ms(USB_BOOTSEL_FLUSH_SLEEP_MS);
        }
        reset_usb_boot(0, 0);
    }
}

void usb_send_report() {
    const char *report = pending_report;
    if (report == nullptr) return;
    tud_cdc_n_write(USB_CDC_PORT, report, strlen(report));
    tud_cdc_n_write(USB_CDC_PORT, "\n", 1);
    tud_cdc_n_write_flush(USB_CDC_PORT);
    pending_report = nullptr;
}

void usb_read_commands() {
    while (!fw_mode && tud_cdc_n_available(USB_CDC_PORT) > 0) {
        char c;
        if (tud_cdc_n_read(USB_CDC_PORT, &c, 1) != 1) break;
        if (c == '\r' || c == '\n') {
            cmd_line[cmd_pos] = '\0';
            handle_fw_command(cmd_line);
            cmd_pos = 0;
        } else if (cmd_pos < CMD_MAX_CHARS) {
            cmd_line[cmd_pos++] = c;
        } else {
            // 63 characters held: the line is too long and is dropped.
            cmd_pos = 0;
        }
    }
}

void usb_host_quiet_from_now() {
    image_quiet_deadline = make_timeout_time_ms(USB_IMAGE_QUIET_MS);
}

// Reads no more than the bridge's ring can take: the rest waits in the USB
// stack, whose full buffer holds the host back.
void usb_feed_image() {
    int space = fwupdate_feed_space();
    while (space > 0 && tud_cdc_n_available(USB_CDC_PORT) > 0) {
        const uint32_t want = space < static_cast<int>(sizeof image_buf) ? static_cast<uint32_t>(space) : sizeof image_buf;
        const uint32_t got = tud_cdc_n_read(USB_CDC_PORT, image_buf, want);
        if (got == 0) break;
        fwupdate_feed(image_buf, static_cast<int>(got));
        space -= static_cast<int>(got);
        image_taken += got;
        usb_host_quiet_from_now();
    }
    if (!fwupdate_active()) {
        fw_mode = false;
        image_left = image_taken < image_announced ? image_announced - image_taken : 0;
        // Bytes already waiting: the host is still sending (a full ring held
        // it back), and its quiet time can only start now.
        if (tud_cdc_n_available(USB_CDC_PORT) > 0) usb_host_quiet_from_now();
    }
}

// The rest of an image whose session ended early (FAIL, NORESP, TIMEOUT) is
// read and dropped, never taken as commands: image bytes could hold any
// command line. It ends at the announced size, once the host has been quiet
// for a while with nothing of it waiting (a host that gave up can start
// again without sending the rest), or with a new terminal.
void usb_drop_image_rest() {
    while (image_left > 0 && tud_cdc_n_available(USB_CDC_PORT) > 0) {
        const uint32_t want = image_left < sizeof image_buf ? image_left : sizeof image_buf;
        const uint32_t got = tud_cdc_n_read(USB_CDC_PORT, image_buf, want);
        if (got == 0) break;
        image_left -= got;
        usb_host_quiet_from_now();
    }
    if (tud_cdc_n_available(USB_CDC_PORT) == 0 && time_reached(image_quiet_deadline)) image_left = 0;
}

// The quiet time counts from the bytes' arrival, not from the console's
// passes: a long pass elsewhere in the loop cannot end the drop while the
// host still sends. Bytes that arrive after the host had been quiet are no
// longer the image's: only those that were waiting before them are dropped.
void usb_host_bytes_arrived() {
    if (image_left > 0 && time_reached(image_quiet_deadline) && image_left > rx_known) image_left = rx_known;
    rx_known = tud_cdc_n_available(USB_CDC_PORT);
    usb_host_quiet_from_now();
}

// DTR raised: a terminal connection begins. What an earlier one left behind
// is not its business: bytes still waiting are discarded unread, an image
// rest is no longer dropped, and a session that lost its host is aborted
// (from the loop: this runs inside the USB stack's task, perhaps in its
// interrupt). The console starts in command mode.
void usb_terminal_opened() {
    if (terminal_before) {
        tud_cdc_n_read_flush(USB_CDC_PORT);
        rx_known = 0;
    }
    terminal_before = true;
    session_superseded = true;
    fw_mode = false;
    image_left = 0;
    cmd_pos = 0;
}

}  // namespace

// ---- the USB device: the stack's descriptor and request callbacks ------------------------------

uint8_t const *tud_descriptor_device_cb(void) {
    return usbd_desc_device;
}

uint8_t const *tud_descriptor_configuration_cb(uint8_t index) {
    (void)index;
    return usbd_desc_cfg;
}

const uint16_t *usb_desc_string(const char *text) {
    size_t chars = 0;
    while (chars < USB_DESC_STR_MAX_CHARS && text[chars] != '\0') {
        desc_str[1 + chars] = static_cast<uint8_t>(text[chars]);
        chars++;
    }
    desc_str[0] = static_cast<uint16_t>(DESC_STR_TYPE | (2 * chars + 2));
    return desc_str;
}

uint16_t const *tud_descriptor_string_cb(uint8_t index, uint16_t langid) {
    (void)langid;
    if (index == STR_LANGUAGES) {
        desc_str[1] = USB_LANGID_ENGLISH_US;
        desc_str[0] = DESC_STR_TYPE | 4;
        return desc_str;
    }
    if (index >= USB_STRING_COUNT) return nullptr;
    return usb_desc_string(usbd_desc_str[index]);
}

usbd_class_driver_t const *usbd_app_driver_get_cb(uint8_t *driver_count) {
    *driver_count = 1;
    return &_resetd_driver;
}

// TinyUSB hands every vendor-type request here, whatever its recipient. The
// reset interface takes those addressed to it, as it takes its class
// requests; the interface exists only while the device is configured.
bool tud_vendor_control_xfer_cb(uint8_t rhport, uint8_t stage, tusb_control_request_t const *request) {
    if (request->bmRequestType_bit.recipient != TUSB_REQ_RCPT_INTERFACE || !tud_mounted() ||
        tu_u16_low(request->wIndex) != interface_num_vendor) {
        return false;
    }
    return resetd_control_xfer_cb(rhport, stage, request);
}

// ---- the USB device: start-up ------------------------------------------------------------------

void usb_init() {
    puts("Initialising USB\r");
    // The stack's own start-up installs its controller interrupt handler as a
    // shared handler.
    tusb_rhport_init(0, nullptr);
    fwupdate_set_reporter(fw_reporter);
    mutex_init(&stdio_usb_mutex);
    low_priority_irq_num = static_cast<uint8_t>(user_irq_claim_unused(true));
    irq_set_exclusive_handler(low_priority_irq_num, low_priority_worker_irq);
    irq_set_enabled(low_priority_irq_num, true);
    if (irq_has_shared_handler(USBCTRL_IRQ)) {
        irq_add_shared_handler(USBCTRL_IRQ, usb_irq, PICO_SHARED_IRQ_HANDLER_LOWEST_ORDER_PRIORITY);
    } else {
        add_alarm_in_us(USB_FALLBACK_TASK_INTERVAL_US, timer_task, nullptr, true);
    }
}

// ---- the host console: the stack's serial port callbacks, the bridge's reports, its pass ---------

// The USB task calls these, from the worker interrupt or from the console's
// pass, always with stdio_usb_mutex held: they may change the console's state.

// Host bytes have arrived, even while a long pass holds the loop.
void tud_cdc_rx_cb(uint8_t itf) {
    if (itf == USB_CDC_PORT) usb_host_bytes_arrived();
}

void tud_cdc_line_state_cb(uint8_t itf, bool dtr, bool rts) {
    (void)rts;
    if (itf != USB_CDC_PORT) return;
    if (dtr && !terminal_dtr) usb_terminal_opened();
    terminal_dtr = dtr;
}

// A new configuration starts with DTR clear and empty buffers.
void tud_mount_cb(void) {
    terminal_dtr = false;
    terminal_before = false;
    rx_known = 0;
}

void fw_reporter(const char *msg) {
    pending_report = msg;
}

// One pass of the console: the stack's task, the report waiting, then the
// host's bytes as commands or image.
void usb_poll() {
    if (!mutex_try_enter(&stdio_usb_mutex, nullptr)) return;
    tud_task();
    // A session whose host has gone, or that the reboot the reset interface
    // scheduled would cut off, ends before anything else reaches the screen unit.
    if (session_superseded || reboot_scheduled) {
        session_superseded = false;
        fwupdate_abort();
    }
    usb_send_report();
    if (!tud_cdc_n_connected(USB_CDC_PORT)) {
        cmd_pos = 0;  // a half-typed line is lost with the terminal
    } else {
        if (image_left > 0) usb_drop_image_rest();
        if (image_left == 0) usb_read_commands();
        if (fw_mode) usb_feed_image();
    }
    rx_known = tud_cdc_n_available(USB_CDC_PORT);
    usb_mutex_exit();
}
