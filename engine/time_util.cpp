#include "engine/time_util.h"

#include <arpa/inet.h>

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "config/debug.h"

double timeval2double(const struct timeval *t) {
    return static_cast<double>(t->tv_sec) + static_cast<double>(t->tv_usec) / 1000000.0;
}

void double2timeval(double seconds, struct timeval *t) {
    double whole = static_cast<double>(static_cast<time_t>(seconds));
    t->tv_sec = static_cast<time_t>(whole);
    auto usec = static_cast<suseconds_t>((seconds - whole) * 1000000.0 + 0.5);
    if (usec >= 1000000) {
        t->tv_sec++;
        usec -= 1000000;
    }
    t->tv_usec = usec;
}

void now_timeval(struct timeval *tv) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
}

double now_seconds() {
    struct timeval tv;
    now_timeval(&tv);
    return timeval2double(&tv);
}

// ---- timed-packet lists ----------------------------------------------------------------------

// Nodes given back, linked through next; at most TIMELIST_SPARE_MAX.
static timeitem *spare_nodes = nullptr;
static int spare_count = 0;

static timeitem *node_take() {
    if (timeitem *n = spare_nodes) {
        spare_nodes = n->next;
        spare_count--;
        return n;
    }
    timeitem *n = static_cast<timeitem *>(malloc(sizeof(timeitem)));
    assert(n && "n");
    return n;
}

static void node_give(timeitem *n) {
    if (spare_count >= TIMELIST_SPARE_MAX) {
        free(n);
        return;
    }
    n->next = spare_nodes;
    spare_nodes = n;
    spare_count++;
}

// Releases the packet a node refers to, unless the node holds it itself.
static void release_packet(timeitem *n) {
    if (n->hdr != &n->stored) free(n->hdr);
}

void timelist_add(timeitem **head, const struct timeval *tval, header *hdr) {
    assert(head && "head");
    timeitem *n = node_take();
    if (tval) {
        n->t = *tval;
    } else {
        n->t.tv_sec = 0;
        n->t.tv_usec = 0;
    }
    n->hdr = hdr;
    double sent = timeval2double(&n->t);
    const timeitem *first = *head;
    n->length = first ? first->length + 1 : 1;
    n->earliest = first && first->earliest < sent ? first->earliest : sent;
    n->next = *head;
    *head = n;
}

void timelist_add_header(timeitem **head, const struct timeval *tval, const header *hdr) {
    timelist_add(head, tval, nullptr);
    timeitem *n = *head;
    n->stored = *hdr;
    n->hdr = &n->stored;
}

void timelist_remove_at(timeitem **head, timeitem **link) {
    timeitem *item = *link;
    if (!item) return;
    int length = (*head)->length;
    *link = item->next;
    if (*head) (*head)->length = length - 1;
    node_give(item);
}

void timelist_release_at(timeitem **head, timeitem **link) {
    if (*link) release_packet(*link);
    timelist_remove_at(head, link);
}

void timelist_remove(timeitem **head, timeitem *to_remove) {
    if (!head) return;
    for (timeitem **link = head; *link; link = &(*link)->next) {
        if (*link == to_remove) {
            timelist_remove_at(head, link);
            return;
        }
    }
}

int timelist_length(const timeitem *head) {
    return head ? head->length : 0;
}

double timelist_earliest(const timeitem *head) {
    return head ? head->earliest : 0;
}

void timelist_refresh_earliest(timeitem *head) {
    if (!head) return;
    double earliest = timeval2double(&head->t);
    for (const timeitem *t = head->next; t; t = t->next) {
        double sent = timeval2double(&t->t);
        if (sent < earliest) earliest = sent;
    }
    head->earliest = earliest;
}

void timelist_free(timeitem *head) {
    while (head) {
        timeitem *next = head->next;
        release_packet(head);
        node_give(head);
        head = next;
    }
}

void timelist_release_upto(timeitem **head, int last_seq) {
    if (!*head) return;
    int length = (*head)->length;
    timeitem **link = head;
    while (*link) {
        timeitem *item = *link;
        if (static_cast<int>(ntohl(item->hdr->seq)) <= last_seq) {
            *link = item->next;
            release_packet(item);
            node_give(item);
            length--;
        } else {
            link = &item->next;
        }
    }
    if (*head) (*head)->length = length;
}

void timelist_print(const timeitem *head, unsigned int db) {
    if (!(debug & db)) return;
    for (; head; head = head->next) {
        fprintf(stderr, "sent = %f  seq = %d (%lx)\n", timeval2double(&head->t),
                static_cast<int>(ntohl(head->hdr->seq)),
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(head->hdr)));
    }
}
