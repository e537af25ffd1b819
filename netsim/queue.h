// netsim's queues: a FIFO that serves bytes at a fixed rate and tail-drops what does not fit
// behind it. A link's bandwidth limit is one; a node's uplink and downlink are two more. Pure
// arithmetic on times it is given: no clock, no sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

// ==== records ====================================================================================

// Datagrams admitted back to back at one rate: their bytes leave at that rate until end_ns.
struct fifo_run_s {
    int64_t end_ns;  // when the run's last byte has left
    double rate;     // bytes/s
    uint64_t bytes;  // all the run's bytes, served or not
};

// A FIFO server known by when it will be idle and by the runs still waiting. A link's queue
// carries every packet type, each at its own rate, so its backlog in bytes cannot follow from
// the time alone: each run keeps the rate its bytes leave at. Runs that have left are dropped at
// the next admission and an empty datagram makes none: each run held had bytes waiting just after
// the last admission, so their number stays within the queue's limit in bytes. Admissions must
// come in time order.
struct fifo_s {
    int64_t busy_until_ns = 0;    // when everything admitted has left
    std::deque<fifo_run_s> runs;  // in service order, each starting where the last ended
    uint64_t run_bytes = 0;       // the sum of runs' bytes
    uint64_t peak_bytes = 0;      // largest backlog seen, the admitted datagram included
    int64_t summed_until_ns = 0;  // delay_area covers the time up to here
    double delay_area_s2 = 0;     // queueing delay integrated over time, in seconds * seconds
};

// ==== functions ==================================================================================

// Bytes still waiting in q at time at (no earlier than its last admission), each run's bytes
// counted at the rate they were admitted at.
uint64_t fifo_backlog(const fifo_s &q, int64_t at);

// Admits len bytes arriving at time at to q, served at rate bytes/s with at most limit bytes
// waiting: true with *depart set to when its last byte has left; false (q unchanged) when the
// datagram does not fit. An idle queue takes any datagram; rate <= 0 takes everything at once.
bool fifo_admit(fifo_s *q, double rate, uint64_t limit, size_t len, int64_t at, int64_t *depart);

// The queueing delay a byte arriving at a random moment between from and now would meet, in
// milliseconds: the backlog's wait integrated over that time, divided by it. 0 when now <= from.
double fifo_mean_delay_ms(const fifo_s &q, int64_t from, int64_t now);
