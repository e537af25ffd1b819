#include "engine/transport.h"

#include "engine/adaptive.h"
#include "engine/reliable.h"

static const transport_profile_t CLASSIC_PROFILE = {
    .name = "classic",
    .start = classicStartConnection,
    .fill = classicFillWindow,
    .take_ack = classicTakeAck,
    .check_timers = classicCheckTimers,
    .next_deadline = classicNextDeadline,
    .end = classicEndConnection,
    .get_wait = classicGetWait,
    .get_retries = 1,
    .move_after = classicMoveAfter,
    .receives_in_batches = false,
};

static const transport_profile_t ADAPTIVE_PROFILE = {
    .name = "adaptive",
    .start = adaptiveStartConnection,
    .fill = adaptiveFillWindow,
    .take_ack = adaptiveHandleAck,
    .check_timers = adaptiveCheckTimers,
    .next_deadline = adaptiveNextDeadline,
    .end = adaptiveEndConnection,
    .get_wait = adaptiveGetWait,
    .get_retries = ADAPTIVE_GET_RETRIES,
    .move_after = adaptiveMoveAfter,
    .receives_in_batches = true,
};

const transport_profile_t *transport_profile(const bt_config_t *config) {
    return config->transport == TRANSPORT_ADAPTIVE ? &ADAPTIVE_PROFILE : &CLASSIC_PROFILE;
}
