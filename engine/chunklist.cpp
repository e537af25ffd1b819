#include "engine/chunklist.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/debug.h"
#include "support/chunk.h"

static bool same_hash(const uint8_t *a, const uint8_t *b) {
    return memcmp(a, b, HASH_SIZE) == 0;
}

static chunkitem *new_chunkitem(const uint8_t *hash, int id) {
    chunkitem *n = static_cast<chunkitem *>(malloc(sizeof(chunkitem)));
    assert(n && "n");
    memcpy(n->hash, hash, HASH_SIZE);
    n->id = id;
    n->next = nullptr;
    return n;
}

void chunklist_add(chunkitem **head, const uint8_t *hash, int id) {
    chunkitem *n = new_chunkitem(hash, id);
    n->next = *head;
    *head = n;
}

void chunklist_concat(chunkitem **first, chunkitem *second) {
    chunkitem **link = first;
    while (*link) link = &(*link)->next;
    *link = second;
}

int chunklist_remove(chunkitem **head, const uint8_t *hash) {
    if (!head) return 0;
    for (chunkitem **link = head; *link; link = &(*link)->next) {
        if (same_hash((*link)->hash, hash)) {
            chunkitem *gone = *link;
            *link = gone->next;
            free(gone);
            return 1;
        }
    }
    return 0;
}

int chunklist_length(const chunkitem *head) {
    int n = 0;
    for (; head; head = head->next) n++;
    return n;
}

void chunklist_free(chunkitem *head) {
    while (head) {
        chunkitem *next = head->next;
        free(head);
        head = next;
    }
}

void chunklist_print_single(const chunkitem *item, unsigned int db) {
    if (!(debug & db)) return;
    char hex[HASH_HEX_SIZE + 1];
    binary2hex(item->hash, HASH_SIZE, hex);
    fprintf(stderr, "id = %d, hash = %s \n", item->id, hex);
}

void chunklist_print(const chunkitem *head, unsigned int db) {
    if (!(debug & db)) return;
    for (; head; head = head->next) chunklist_print_single(head, db);
}

chunkitem *chunklist_find_hash(chunkitem *head, const uint8_t *hash) {
    for (; head; head = head->next) {
        if (same_hash(head->hash, hash)) return head;
    }
    return nullptr;
}

chunkitem *chunklist_findin(const chunkitem *haystack, const chunkitem *needles) {
    chunkitem *result = nullptr;
    chunkitem **tail = &result;
    for (; needles; needles = needles->next) {
        const chunkitem *match = haystack;
        while (match && !same_hash(match->hash, needles->hash)) match = match->next;
        if (!match) continue;
        *tail = new_chunkitem(match->hash, match->id);
        tail = &(*tail)->next;
    }
    return result;
}

// ---- hash-check failures ---------------------------------------------------------------------

failitem *failurelist_find(failitem *head, const uint8_t *hash) {
    for (; head; head = head->next) {
        if (same_hash(head->hash, hash)) return head;
    }
    return nullptr;
}

failitem *failurelist_note(failitem **head, const uint8_t *hash) {
    failitem *f = failurelist_find(*head, hash);
    if (f) return f;
    f = static_cast<failitem *>(calloc(1, sizeof(failitem)));
    assert(f && "failitem");
    memcpy(f->hash, hash, HASH_SIZE);
    f->next = *head;
    *head = f;
    return f;
}

void failurelist_free(failitem *head) {
    while (head) {
        failitem *next = head->next;
        free(head);
        head = next;
    }
}
