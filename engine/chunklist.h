// Chunk lists: singly linked chunkitem nodes, each a heap block owned by its list.
#pragma once

#include <cstdint>

#include "engine/common.h"

// Puts a new node holding a copy of hash and id first in *head.
void chunklist_add(chunkitem **head, const uint8_t *hash, int id);
// Links second behind the last node of *first; the nodes of second now belong to *first.
void chunklist_concat(chunkitem **first, chunkitem *second);
// Unlinks and releases the first node whose hash equals hash; 1 when removed, 0 when not found.
int chunklist_remove(chunkitem **head, const uint8_t *hash);
// The number of nodes; 0 for the empty list.
int chunklist_length(const chunkitem *head);
// Releases every node of the list.
void chunklist_free(chunkitem *head);
// Under debug category db: "id = %d, hash = %s \n" per node.
void chunklist_print(const chunkitem *head, unsigned int db);
// The same line for the one node item.
void chunklist_print_single(const chunkitem *item, unsigned int db);
// A new list the caller frees with chunklist_free: for each needle in order, a copy of the first
// haystack node with the same hash (with the haystack's id); nullptr when nothing matched.
chunkitem *chunklist_findin(const chunkitem *haystack, const chunkitem *needles);
// The first node of the list with the given hash, or nullptr.
chunkitem *chunklist_find_hash(chunkitem *head, const uint8_t *hash);

// The node of the failure list with the given hash, or nullptr.
failitem *failurelist_find(failitem *head, const uint8_t *hash);
// The node for hash, put first in *head with no failures when the list has none yet (owned by the
// list).
failitem *failurelist_note(failitem **head, const uint8_t *hash);
// Releases every node of the failure list.
void failurelist_free(failitem *head);
