// netsim's queues: FIFO servers at a fixed rate, with tail drop and their time-averaged delay.

#include "netsim/queue.h"

#include <algorithm>

constexpr double NS_PER_S_DOUBLE = 1e9;

uint64_t fifo_backlog(const fifo_s &q, double rate, int64_t at) {
    if (q.busy_until_ns <= at || rate <= 0) return 0;
    double bytes = static_cast<double>(q.busy_until_ns - at) * rate / NS_PER_S_DOUBLE;
    return static_cast<uint64_t>(bytes);
}

// The wait at time t is busy_until - t while the queue is busy: a straight line down to zero, so
// its integral over [from, to] is the difference of two triangles.
static double wait_area_s2(int64_t busy_until, int64_t from, int64_t to) {
    if (busy_until <= from || to <= from) return 0;
    double head = static_cast<double>(busy_until - from) / NS_PER_S_DOUBLE;
    double tail = static_cast<double>(busy_until - std::min(to, busy_until)) / NS_PER_S_DOUBLE;
    return (head * head - tail * tail) / 2;
}

bool fifo_admit(fifo_s *q, double rate, uint64_t limit, size_t len, int64_t at, int64_t *depart) {
    *depart = at;
    if (rate <= 0) return true;
    uint64_t backlog = fifo_backlog(*q, rate, at);
    if (backlog > 0 && backlog + len > limit) return false;
    if (at > q->summed_until_ns) {
        q->delay_area_s2 += wait_area_s2(q->busy_until_ns, q->summed_until_ns, at);
        q->summed_until_ns = at;
    }
    double tx_ns = static_cast<double>(len) * NS_PER_S_DOUBLE / rate;
    *depart = std::max(at, q->busy_until_ns) + static_cast<int64_t>(tx_ns);
    q->busy_until_ns = *depart;
    q->last_rate = rate;
    q->peak_bytes = std::max(q->peak_bytes, backlog + len);
    return true;
}

double fifo_mean_delay_ms(const fifo_s &q, int64_t from, int64_t now) {
    if (now <= from) return 0;
    double area = q.delay_area_s2 + wait_area_s2(q.busy_until_ns, q.summed_until_ns, now);
    return area / (static_cast<double>(now - from) / NS_PER_S_DOUBLE) * 1000.0;
}
