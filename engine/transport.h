// The transport profile: the one place where the engine learns how a sending connection paces,
// recovers and times out, and how long a downloader waits for a GET's first DATA. The connection
// code calls these functions and never asks which profile runs; each profile keeps its own state
// (the classic one in the peer record's designed fields, the adaptive one in its adaptive_s).
// Every function that judges time is given `now`.
#pragma once

#include "config/bt_parse.h"

struct transport_profile_s {
    const char *name;  // "classic" or "adaptive"
    // A new sending connection: initializeNewSendingConnection has set the designed start values
    // and given peer its sending_data.
    void (*start)(bt_config_t *config, bt_peer_t *peer, double now);
    // Sends new DATA packets while the window has room.
    void (*fill)(bt_config_t *config, bt_peer_t *peer, double now);
    // Takes one ACK that handleAck found to belong to the running connection; may end it.
    void (*take_ack)(bt_config_t *config, bt_peer_t *peer, int ack, double now);
    // Runs the connection's timers; false when the connection was given up, which ends the scan
    // of the other connections for this pass.
    bool (*check_timers)(bt_config_t *config, bt_peer_t *peer, double now);
    // The earliest time check_timers has work for peer; 0 when nothing is due.
    double (*next_deadline)(const bt_peer_t *peer);
    // The sending connection ends (doneSendingData): what carries to the next one is kept.
    void (*end)(bt_peer_t *peer);
    // Downloader: how long a GET may wait for its first DATA, and how often it is sent again.
    double (*get_wait)(const bt_peer_t *peer);
    int get_retries;
    // Downloader: how long a connection may bring no new in-order DATA before its chunk moves to
    // an idle holder of it; 0: never (the stall check alone gives it up).
    double (*move_after)(const bt_peer_t *peer);
    // Whether the loop takes every queued datagram per pass instead of one.
    bool receives_in_batches;
};
typedef struct transport_profile_s transport_profile_t;

// The two profiles, each defined beside its functions: the classic one in engine/reliable, the
// adaptive one in engine/adaptive. The seam itself is this header: it names no module above it.
extern const transport_profile_t CLASSIC_PROFILE;
extern const transport_profile_t ADAPTIVE_PROFILE;

// The profile config->transport names; a static record, never freed.
inline const transport_profile_t *transport_profile(const bt_config_t *config) {
    return config->transport == TRANSPORT_ADAPTIVE ? &ADAPTIVE_PROFILE : &CLASSIC_PROFILE;
}
