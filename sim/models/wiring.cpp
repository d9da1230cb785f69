// The models' wiring against the firmware's own pin constants: a board
// whose firmware moved a pin must move the models with it.
#include "wiring.h"

#include "audio.h"
#include "door.h"
#include "lights.h"
#include "screen.h"
#include "wireless.h"

namespace wiring {

static_assert(kI2sDataPin == AUDIO_DATA_PIN && kI2sClockPin == AUDIO_BCLK_PIN && kI2sWordPin == AUDIO_LRCLK_PIN);
static_assert(kAmpPin == AUDIO_AMP_ENABLE_PIN);
static_assert(kScreenTxPin == SCREEN_TX_PIN && kScreenRxPin == SCREEN_RX_PIN);
static_assert(kScreenDirPinA == SCREEN_DIR_PIN_A && kScreenDirPinB == SCREEN_DIR_PIN_B);
static_assert(kScreenBaud == SCREEN_BAUD);
static_assert(kRadioTxPin == WIRELESS_TX_PIN && kRadioRxPin == WIRELESS_RX_PIN);
static_assert(kRadioM1Pin == WIRELESS_M1_PIN && kRadioM0Pin == WIRELESS_M0_PIN && kRadioAuxPin == WIRELESS_AUX_PIN);
static_assert(kRadioBaud == WIRELESS_BAUD);
static_assert(kMaglockPin == DOOR_MAGLOCK_PIN && kDoorPin == DOOR_SENSOR_PIN);
static_assert(kStripPins[0] == LIGHTS_STRIP1_PIN && kStripPins[1] == LIGHTS_STRIP2_PIN);

}  // namespace wiring
