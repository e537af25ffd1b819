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

void timelist_add(timeitem **head, const struct timeval *tval, header *hdr) {
    assert(head && "head");
    timeitem *n = static_cast<timeitem *>(malloc(sizeof(timeitem)));
    assert(n && "n");
    if (tval) {
        n->t = *tval;
    } else {
        n->t.tv_sec = 0;
        n->t.tv_usec = 0;
    }
    n->hdr = hdr;
    n->next = *head;
    *head = n;
}

void timelist_remove(timeitem **head, timeitem *to_remove) {
    if (!head) return;
    for (timeitem **link = head; *link; link = &(*link)->next) {
        if (*link == to_remove) {
            *link = to_remove->next;
            free(to_remove);
            return;
        }
    }
}

int timelist_length(const timeitem *head) {
    int n = 0;
    for (; head; head = head->next) n++;
    return n;
}

void timelist_free(timeitem *head) {
    while (head) {
        timeitem *next = head->next;
        free(head->hdr);
        free(head);
        head = next;
    }
}

void timelist_release_upto(timeitem **head, int last_seq) {
    timeitem **link = head;
    while (*link) {
        timeitem *item = *link;
        if (static_cast<int>(ntohl(item->hdr->seq)) <= last_seq) {
            *link = item->next;
            free(item->hdr);
            free(item);
        } else {
            link = &item->next;
        }
    }
}

void timelist_print(const timeitem *head, unsigned int db) {
    if (!(debug & db)) return;
    for (; head; head = head->next) {
        fprintf(stderr, "sent = %f  seq = %d (%lx)\n", timeval2double(&head->t),
                static_cast<int>(ntohl(head->hdr->seq)),
                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(head->hdr)));
    }
}
