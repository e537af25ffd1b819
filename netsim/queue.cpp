// netsim's queues: FIFO servers at a fixed rate, with tail drop and their time-averaged delay.

#include "netsim/queue.h"

#include <algorithm>

constexpr double NS_PER_S_DOUBLE = 1e9;

// The bytes of run still waiting at time at, once it is in service: what its rate has yet to
// send by its end.
static uint64_t run_left(const fifo_run_s &run, int64_t at) {
    if (run.end_ns <= at) return 0;
    return static_cast<uint64_t>(static_cast<double>(run.end_ns - at) * run.rate / NS_PER_S_DOUBLE);
}

uint64_t fifo_backlog(const fifo_s &q, int64_t at) {
    // Runs are served one after the other: those ended are gone, the first still running is
    // partly sent and every later one waits whole.
    uint64_t later = q.run_bytes;
    for (const fifo_run_s &run : q.runs) {
        later -= run.bytes;
        if (run.end_ns > at) return later + run_left(run, at);
    }
    return 0;
}

// Forgets the runs that have left by at.
static void retire_runs(fifo_s *q, int64_t at) {
    while (!q->runs.empty() && q->runs.front().end_ns <= at) {
        q->run_bytes -= q->runs.front().bytes;
        q->runs.pop_front();
    }
}

// Queues len bytes at rate that leave by end: the last run grows when it has the same rate, as
// it does on a link that carries one packet type.
static void add_run(fifo_s *q, double rate, size_t len, int64_t end) {
    if (len == 0) return;
    if (q->runs.empty() || q->runs.back().rate != rate) q->runs.push_back({end, rate, 0});
    q->runs.back().end_ns = end;
    q->runs.back().bytes += len;
    q->run_bytes += len;
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
    retire_runs(q, at);
    uint64_t backlog = fifo_backlog(*q, at);
    if (backlog > 0 && backlog + len > limit) return false;
    if (at > q->summed_until_ns) {
        q->delay_area_s2 += wait_area_s2(q->busy_until_ns, q->summed_until_ns, at);
        q->summed_until_ns = at;
    }
    double tx_ns = static_cast<double>(len) * NS_PER_S_DOUBLE / rate;
    *depart = std::max(at, q->busy_until_ns) + static_cast<int64_t>(tx_ns);
    q->busy_until_ns = *depart;
    add_run(q, rate, len, *depart);
    q->peak_bytes = std::max(q->peak_bytes, backlog + len);
    return true;
}

double fifo_mean_delay_ms(const fifo_s &q, int64_t from, int64_t now) {
    if (now <= from) return 0;
    double area = q.delay_area_s2 + wait_area_s2(q.busy_until_ns, q.summed_until_ns, now);
    return area / (static_cast<double>(now - from) / NS_PER_S_DOUBLE) * 1000.0;
}
