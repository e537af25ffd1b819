#include "engine/chunkindex.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Random picks among the chunks of one holder count before a choice walks them all: a few
// tries find one when most are usable, and the walk is left for buckets that every peer is
// busy fetching from (at most one chunk per peer) or that hash failures rule out.
constexpr int RANDOM_TRIES = 8;

// ---- bits and arrays -------------------------------------------------------------------------

static int words_for(int bits) {
    return (bits + 63) / 64;
}

static uint64_t bit_of(int i) {
    return UINT64_C(1) << (static_cast<unsigned>(i) % 64);
}

static bool bit_set(const uint64_t *bits, int words, int i) {
    return i / 64 < words && (bits[i / 64] & bit_of(i)) != 0;
}

static void *zeroed(size_t count, size_t size) {
    void *block = calloc(count ? count : 1, size);
    assert(block && "chunk index block");
    return block;
}

static int *ints_of(int count, int value) {
    auto *a = static_cast<int *>(malloc(static_cast<size_t>(count ? count : 1) * sizeof(int)));
    assert(a && "chunk index ints");
    for (int i = 0; i < count; i++) a[i] = value;
    return a;
}

// ---- records ---------------------------------------------------------------------------------

static chunk_index_t *index_of(bt_config_t *config) {
    if (!config->chunk_index) {
        config->chunk_index = static_cast<chunk_index_t *>(zeroed(1, sizeof(chunk_index_t)));
        config->chunk_index->first_left = -1;
    }
    return config->chunk_index;
}

static peer_chunks_t *chunks_of(bt_peer_t *peer) {
    if (!peer->announced)
        peer->announced = static_cast<peer_chunks_t *>(zeroed(1, sizeof(peer_chunks_t)));
    return peer->announced;
}

static int known_id(const bt_config_t *config, const uint8_t *hash) {
    return config->chunk_index ? hashindex_get(&config->chunk_index->by_hash, hash) : -1;
}

// The id of hash, which becomes known if it was not.
static int intern(chunk_index_t *index, const uint8_t *hash) {
    int id = hashindex_get(&index->by_hash, hash);
    if (id >= 0) return id;
    if (index->known_count == index->known_capacity) {
        int capacity = index->known_capacity ? 2 * index->known_capacity : 256;
        auto *grown = static_cast<known_hash_t *>(
            realloc(index->known, static_cast<size_t>(capacity) * sizeof(known_hash_t)));
        assert(grown && "known hashes");
        index->known = grown;
        index->known_capacity = capacity;
    }
    id = index->known_count++;
    known_hash_t *k = &index->known[id];
    memcpy(k->hash, hash, HASH_SIZE);
    k->holders = k->master = k->remaining = 0;
    k->first_chunk = -1;
    hashindex_put(&index->by_hash, hash, id);
    return id;
}

static bool has_announced(const bt_peer_t *peer, int id) {
    const peer_chunks_t *pc = peer->announced;
    return id >= 0 && pc && bit_set(pc->announced, pc->words, id);
}

static bool is_self(const bt_config_t *config, const bt_peer_t *peer) {
    return peer->id == config->identity;
}

// ---- a peer's view of the download: chunks by holder count -----------------------------------
// order holds the chunks a peer announced and still to fetch, sorted by holder count, the run
// of count h starting at bucket[h] (bucket[max + 1] is the end). A count changes by one at a
// time: one swap with the first or last chunk of the run moves a chunk into the next run.

static void order_swap(peer_chunks_t *pc, int i, int j) {
    int a = pc->order[i];
    int b = pc->order[j];
    pc->order[i] = b;
    pc->order[j] = a;
    pc->order_at[b] = i;
    pc->order_at[a] = j;
}

// Chunk c, in the run of h holders, moves to the run of h + 1.
static void order_raise(peer_chunks_t *pc, int c, int h) {
    order_swap(pc, pc->order_at[c], pc->bucket[h + 1] - 1);
    pc->bucket[h + 1]--;
}

// Chunk c, in the run of h holders, moves to the run of h - 1.
static void order_lower(peer_chunks_t *pc, int c, int h) {
    order_swap(pc, pc->order_at[c], pc->bucket[h]);
    pc->bucket[h]++;
}

static void order_insert(peer_chunks_t *pc, int c, int h, int max) {
    assert(h <= max && "holders are peers of the list");
    int at = pc->order_len++;
    pc->order[at] = c;
    pc->order_at[c] = at;
    pc->bucket[max + 1] = pc->order_len;  // c sits in the last run, of max holders
    for (int b = max; b > h; b--) order_lower(pc, c, b);
}

static void order_remove(peer_chunks_t *pc, int c, int h, int max) {
    for (int b = h; b < max; b++) order_raise(pc, c, b);
    order_swap(pc, pc->order_at[c], pc->order_len - 1);  // the last run is c's now
    pc->order_len--;
    pc->bucket[max + 1] = pc->order_len;
    pc->order_at[c] = -1;
}

static void set_left_bit(peer_chunks_t *pc, int c) {
    pc->left_bits[c / 64] |= bit_of(c);
    pc->left_summary[c / 4096] |= bit_of(c / 64);
}

static void clear_left_bit(peer_chunks_t *pc, int c) {
    pc->left_bits[c / 64] &= ~bit_of(c);
    if (pc->left_bits[c / 64] == 0) pc->left_summary[c / 4096] &= ~bit_of(c / 64);
}

// Adds chunk c to the view of a peer that announced its hash, which has h holders.
static void view_add(const chunk_index_t *index, peer_chunks_t *pc, int c, int h) {
    if (pc->left_bits) set_left_bit(pc, c);
    if (pc->order) order_insert(pc, c, h, index->max_holders);
}

static void view_remove(const chunk_index_t *index, peer_chunks_t *pc, int c, int h) {
    if (pc->left_bits) clear_left_bit(pc, c);
    if (pc->order) order_remove(pc, c, h, index->max_holders);
}

static void build_left_bits(const chunk_index_t *index, const bt_peer_t *peer, peer_chunks_t *pc) {
    int words = words_for(index->chunk_count);
    pc->left_bits = static_cast<uint64_t *>(zeroed(static_cast<size_t>(words), sizeof(uint64_t)));
    pc->left_summary =
        static_cast<uint64_t *>(zeroed(static_cast<size_t>(words_for(words)), sizeof(uint64_t)));
    for (int c = index->first_left; c >= 0; c = index->chunks[c].next_left) {
        if (has_announced(peer, index->chunks[c].known)) set_left_bit(pc, c);
    }
}

static void build_order(const chunk_index_t *index, const bt_peer_t *peer, peer_chunks_t *pc) {
    int max = index->max_holders;
    pc->order = ints_of(index->chunk_count, -1);
    pc->order_at = ints_of(index->chunk_count, -1);
    pc->bucket = ints_of(max + 2, 0);
    // Counted per holder count, then placed run by run.
    for (int c = index->first_left; c >= 0; c = index->chunks[c].next_left) {
        int k = index->chunks[c].known;
        if (has_announced(peer, k)) pc->bucket[index->known[k].holders + 1]++;
    }
    for (int h = 1; h <= max + 1; h++) pc->bucket[h] += pc->bucket[h - 1];
    int *next = ints_of(max + 1, 0);
    for (int h = 0; h <= max; h++) next[h] = pc->bucket[h];
    for (int c = index->first_left; c >= 0; c = index->chunks[c].next_left) {
        int k = index->chunks[c].known;
        if (!has_announced(peer, k)) continue;
        int at = next[index->known[k].holders]++;
        pc->order[at] = c;
        pc->order_at[c] = at;
    }
    pc->order_len = pc->bucket[max + 1];
    free(next);
}

static void free_view(peer_chunks_t *pc) {
    free(pc->left_bits);
    free(pc->left_summary);
    free(pc->order);
    free(pc->order_at);
    free(pc->bucket);
    pc->left_bits = pc->left_summary = nullptr;
    pc->order = pc->order_at = pc->bucket = nullptr;
    pc->order_len = 0;
}

// ---- known hashes and announcements ----------------------------------------------------------

void chunkindex_note_master(bt_config_t *config) {
    chunk_index_t *index = index_of(config);
    for (const chunkitem *c = config->masterchunks; c; c = c->next) {
        int id = intern(index, c->hash);  // may move index->known
        index->known[id].master = 1;
    }
}

bool chunkindex_matters(const bt_config_t *config, const uint8_t *hash) {
    int id = known_id(config, hash);
    if (id < 0) return false;
    const known_hash_t *k = &config->chunk_index->known[id];
    return k->master || k->remaining > 0;
}

bool announced_by(const bt_config_t *config, const bt_peer_t *peer, const uint8_t *hash) {
    return has_announced(peer, known_id(config, hash));
}

int announcement_count(const bt_peer_t *peer) {
    return peer->announced ? peer->announced->count : 0;
}

int announcement_holders(const bt_config_t *config, const uint8_t *hash) {
    int id = known_id(config, hash);
    return id < 0 ? 0 : config->chunk_index->known[id].holders;
}

// The running download's side of a new announcement of known id k by peer: its chunks move up
// a run in the view of every other holder and join the announcer's view.
static void download_gains_holder(bt_config_t *config, bt_peer_t *peer, int k, int before) {
    chunk_index_t *index = config->chunk_index;
    const known_hash_t *kh = &index->known[k];
    if (!index->running || kh->remaining == 0) return;
    if (before == 0) index->unannounced_left -= kh->remaining;
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (p == peer || !p->announced || !p->announced->order || !has_announced(p, k)) continue;
        for (int c = kh->first_chunk; c >= 0; c = index->chunks[c].next_same)
            if (index->chunks[c].item) order_raise(p->announced, c, before);
    }
    for (int c = kh->first_chunk; c >= 0; c = index->chunks[c].next_same)
        if (index->chunks[c].item) view_add(index, peer->announced, c, before + 1);
}

static void download_loses_holder(bt_config_t *config, bt_peer_t *peer, int k, int before) {
    chunk_index_t *index = config->chunk_index;
    const known_hash_t *kh = &index->known[k];
    if (!index->running || kh->remaining == 0) return;
    if (before == 1) index->unannounced_left += kh->remaining;
    for (int c = kh->first_chunk; c >= 0; c = index->chunks[c].next_same)
        if (index->chunks[c].item) view_remove(index, peer->announced, c, before);
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (p == peer || !p->announced || !p->announced->order || !has_announced(p, k)) continue;
        for (int c = kh->first_chunk; c >= 0; c = index->chunks[c].next_same)
            if (index->chunks[c].item) order_lower(p->announced, c, before);
    }
}

bool announcement_add(bt_config_t *config, bt_peer_t *peer, const uint8_t *hash) {
    if (is_self(config, peer)) return false;
    chunk_index_t *index = index_of(config);
    int k = intern(index, hash);
    peer_chunks_t *pc = chunks_of(peer);
    if (bit_set(pc->announced, pc->words, k)) return false;
    if (k / 64 >= pc->words) {
        int words = words_for(index->known_capacity);
        auto *grown = static_cast<uint64_t *>(
            realloc(pc->announced, static_cast<size_t>(words) * sizeof(uint64_t)));
        assert(grown && "announcements");
        memset(grown + pc->words, 0, static_cast<size_t>(words - pc->words) * sizeof(uint64_t));
        pc->announced = grown;
        pc->words = words;
    }
    pc->announced[k / 64] |= bit_of(k);
    pc->count++;
    int before = index->known[k].holders++;
    download_gains_holder(config, peer, k, before);
    return true;
}

void announcement_forget(bt_config_t *config, bt_peer_t *peer, const uint8_t *hash) {
    int k = known_id(config, hash);
    if (!has_announced(peer, k)) return;
    peer_chunks_t *pc = peer->announced;
    pc->announced[k / 64] &= ~bit_of(k);
    pc->count--;
    int before = config->chunk_index->known[k].holders--;
    download_loses_holder(config, peer, k, before);
}

void announcements_forget_all(bt_config_t *config, bt_peer_t *peer) {
    peer_chunks_t *pc = peer->announced;
    if (!pc) return;
    for (int w = 0; w < pc->words && pc->count > 0; w++) {
        while (pc->announced[w]) {
            int k = 64 * w + __builtin_ctzll(pc->announced[w]);
            announcement_forget(config, peer, config->chunk_index->known[k].hash);
        }
    }
}

// ---- the running download --------------------------------------------------------------------

// The most holders a hash can have while the download runs: the other peers of the list, and with
// --open every record the membership table may still admit.
static int other_peers(const bt_config_t *config) {
    int n = config->open_membership ? MEMBER_TABLE_MAX : 0;
    for (const bt_peer_t *p = config->peers; p; p = p->next)
        if (!is_self(config, p)) n++;
    return n;
}

void chunkindex_start_download(bt_config_t *config) {
    chunk_index_t *index = index_of(config);
    if (index->running) chunkindex_end_download(config);
    int n = 0;
    for (const chunkitem *c = config->to_fetch_list; c; c = c->next) n++;
    index->chunks =
        static_cast<fetch_chunk_t *>(zeroed(static_cast<size_t>(n), sizeof(fetch_chunk_t)));
    index->chunk_count = n;
    int at = 0;
    for (chunkitem *c = config->to_fetch_list; c; c = c->next, at++) {
        fetch_chunk_t *f = &index->chunks[at];
        f->item = c;
        f->known = intern(index, c->hash);
        f->prev_left = at - 1;
        f->next_left = at + 1 < n ? at + 1 : -1;
        index->known[f->known].first_chunk = -1;
    }
    // Chains of equal hashes in request order: each chunk put first, last chunk first.
    index->unannounced_left = 0;
    for (int c = n - 1; c >= 0; c--) {
        known_hash_t *k = &index->known[index->chunks[c].known];
        index->chunks[c].next_same = k->first_chunk;
        k->first_chunk = c;
        k->remaining++;
        if (k->holders == 0) index->unannounced_left++;
    }
    index->first_left = n > 0 ? 0 : -1;
    index->left = n;
    index->max_holders = other_peers(config);
    index->running = 1;
}

void chunkindex_end_download(bt_config_t *config) {
    chunk_index_t *index = config->chunk_index;
    if (!index || !index->running) return;
    for (bt_peer_t *p = config->peers; p; p = p->next)
        if (p->announced) free_view(p->announced);
    for (int c = 0; c < index->chunk_count; c++) {
        known_hash_t *k = &index->known[index->chunks[c].known];
        k->remaining = 0;
        k->first_chunk = -1;
    }
    free(index->chunks);
    index->chunks = nullptr;
    index->chunk_count = index->left = index->unannounced_left = 0;
    index->first_left = -1;
    index->running = 0;
}

// The chunk whose to_fetch_list node is item; -1 when item is none of them.
static int chunk_of(const chunk_index_t *index, const chunkitem *item) {
    int k = hashindex_get(&index->by_hash, item->hash);
    if (k < 0) return -1;
    for (int c = index->known[k].first_chunk; c >= 0; c = index->chunks[c].next_same)
        if (index->chunks[c].item == item) return c;
    return -1;
}

// Takes chunk c out of the chain of chunks still to fetch and item out of to_fetch_list.
static void unlink_left(bt_config_t *config, chunk_index_t *index, int c) {
    fetch_chunk_t *f = &index->chunks[c];
    if (f->prev_left >= 0) {
        index->chunks[f->prev_left].item->next = f->item->next;
        index->chunks[f->prev_left].next_left = f->next_left;
    } else {
        config->to_fetch_list = f->item->next;
        index->first_left = f->next_left;
    }
    if (f->next_left >= 0) index->chunks[f->next_left].prev_left = f->prev_left;
}

void fetchlist_remove(bt_config_t *config, chunkitem *item) {
    chunk_index_t *index = config->chunk_index;
    assert(index && index->running && "a download's chunks leave through its index");
    int c = chunk_of(index, item);
    assert(c >= 0 && "a chunk of the running download");
    known_hash_t *k = &index->known[index->chunks[c].known];
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (has_announced(p, index->chunks[c].known))
            view_remove(index, p->announced, c, k->holders);
    }
    if (k->holders == 0) index->unannounced_left--;
    k->remaining--;
    index->left--;
    unlink_left(config, index, c);
    free(item);
    index->chunks[c].item = nullptr;
}

int fetchlist_remaining(const bt_config_t *config) {
    const chunk_index_t *index = config->chunk_index;
    return index && index->running ? index->left : 0;
}

int fetchlist_remaining_of(const bt_config_t *config, const uint8_t *hash) {
    int k = known_id(config, hash);
    return k < 0 ? 0 : config->chunk_index->known[k].remaining;
}

int fetchlist_position(const bt_config_t *config, const chunkitem *item) {
    const chunk_index_t *index = config->chunk_index;
    return index && index->running ? chunk_of(index, item) : -1;
}

int chunkindex_unannounced(const bt_config_t *config) {
    const chunk_index_t *index = config->chunk_index;
    if (!index || !index->running) return 0;
    int n = index->unannounced_left;
    // Chunks being fetched are not missing; a hash counts once, however many fetch it.
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (!p->receiving_chunk) continue;
        int k = hashindex_get(&index->by_hash, p->receiving_chunk->hash);
        bool counted = false;
        for (const bt_peer_t *q = config->peers; q != p && !counted; q = q->next)
            counted = q->receiving_chunk &&
                      memcmp(q->receiving_chunk->hash, p->receiving_chunk->hash, HASH_SIZE) == 0;
        if (k >= 0 && !counted && index->known[k].holders == 0) n -= index->known[k].remaining;
    }
    return n;
}

// ---- choosing --------------------------------------------------------------------------------

// The peer's view of the running download, built on its first use; nullptr when none runs.
static peer_chunks_t *view_of(const chunk_choice_t *choice, bool ordered) {
    bt_config_t *config = choice->config;
    chunk_index_t *index = config->chunk_index;
    if (!index || !index->running) {
        assert(!config->to_fetch_list && "a download's chunks are chosen through its index");
        return nullptr;
    }
    peer_chunks_t *pc = chunks_of(choice->peer);
    if (ordered && !pc->order) build_order(index, choice->peer, pc);
    if (!ordered && !pc->left_bits) build_left_bits(index, choice->peer, pc);
    return pc;
}

chunkitem *chunkindex_first_announced(const chunk_choice_t *choice) {
    peer_chunks_t *pc = view_of(choice, false);
    if (!pc) return nullptr;
    const chunk_index_t *index = choice->config->chunk_index;
    int words = words_for(index->chunk_count);
    for (int s = 0; s < words_for(words); s++) {
        for (uint64_t summary = pc->left_summary[s]; summary; summary &= summary - 1) {
            int w = 64 * s + __builtin_ctzll(summary);
            for (uint64_t bits = pc->left_bits[w]; bits; bits &= bits - 1) {
                chunkitem *item = index->chunks[64 * w + __builtin_ctzll(bits)].item;
                if (choice->usable(choice, item)) return item;
            }
        }
    }
    return nullptr;
}

// A usable chunk of order[lo, hi), each equally likely; -1 when none is usable.
static int pick_in_run(const chunk_choice_t *choice, const peer_chunks_t *pc, int lo, int hi) {
    const fetch_chunk_t *chunks = choice->config->chunk_index->chunks;
    unsigned span = static_cast<unsigned>(hi - lo);
    for (int t = 0; t < RANDOM_TRIES; t++) {
        int c = pc->order[lo + static_cast<int>(choice->random(choice) % span)];
        if (choice->usable(choice, chunks[c].item)) return c;
    }
    // One pass, each usable chunk replacing the pick with chance 1/k.
    int pick = -1;
    unsigned usable = 0;
    for (int i = lo; i < hi; i++) {
        int c = pc->order[i];
        if (!choice->usable(choice, chunks[c].item)) continue;
        if (choice->random(choice) % ++usable == 0) pick = c;
    }
    return pick;
}

chunkitem *chunkindex_rarest_announced(const chunk_choice_t *choice) {
    peer_chunks_t *pc = view_of(choice, true);
    if (!pc) return nullptr;
    const chunk_index_t *index = choice->config->chunk_index;
    for (int h = 0; h <= index->max_holders; h++) {
        if (pc->bucket[h] == pc->bucket[h + 1]) continue;
        int c = pick_in_run(choice, pc, pc->bucket[h], pc->bucket[h + 1]);
        if (c >= 0) return index->chunks[c].item;
    }
    return nullptr;
}

// ---- release and checks ----------------------------------------------------------------------

void chunkindex_forget_peer(bt_config_t *config, bt_peer_t *peer) {
    if (!peer->announced) return;
    announcements_forget_all(config, peer);
    free_view(peer->announced);
    free(peer->announced->announced);
    free(peer->announced);
    peer->announced = nullptr;
}

void chunkindex_free(bt_config_t *config) {
    chunkindex_end_download(config);
    for (bt_peer_t *p = config->peers; p; p = p->next) {
        if (!p->announced) continue;
        free(p->announced->announced);
        free(p->announced);
        p->announced = nullptr;
    }
    chunk_index_t *index = config->chunk_index;
    if (!index) return;
    hashindex_free(&index->by_hash);
    free(index->known);
    free(index);
    config->chunk_index = nullptr;
}

[[gnu::format(printf, 3, 4)]] static bool disagree(char *why, size_t why_size, const char *fmt,
                                                    ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(why, why_size, fmt, ap);
    va_end(ap);
    return false;
}

// The holders of every known hash, recounted from the peers' bits.
static bool holders_agree(const bt_config_t *config, char *why, size_t why_size) {
    const chunk_index_t *index = config->chunk_index;
    for (int k = 0; k < index->known_count; k++) {
        int n = 0;
        for (const bt_peer_t *p = config->peers; p; p = p->next)
            if (!is_self(config, p) && has_announced(p, k)) n++;
        if (n != index->known[k].holders)
            return disagree(why, why_size, "hash %d: %d holders counted, %d kept", k, n,
                            index->known[k].holders);
    }
    return true;
}

// to_fetch_list against the chain of chunks still to fetch, and the counts kept of them.
static bool list_agrees(const bt_config_t *config, char *why, size_t why_size) {
    const chunk_index_t *index = config->chunk_index;
    int c = index->first_left;
    int left = 0;
    int unannounced = 0;
    for (const chunkitem *item = config->to_fetch_list; item; item = item->next, left++) {
        if (c < 0 || index->chunks[c].item != item)
            return disagree(why, why_size, "list node %d is not the index's", left);
        if (index->known[index->chunks[c].known].holders == 0) unannounced++;
        c = index->chunks[c].next_left;
    }
    if (c >= 0 || left != index->left)
        return disagree(why, why_size, "%d chunks listed, %d indexed", left, index->left);
    if (unannounced != index->unannounced_left)
        return disagree(why, why_size, "%d unannounced, %d kept", unannounced,
                        index->unannounced_left);
    return true;
}

// One peer's view: exactly the chunks it announced still to fetch, in runs of their counts.
static bool view_agrees(const chunk_index_t *index, const bt_peer_t *p, char *why,
                        size_t why_size) {
    const peer_chunks_t *pc = p->announced;
    int expected = 0;
    for (int c = 0; c < index->chunk_count; c++) {
        const fetch_chunk_t *f = &index->chunks[c];
        bool in = f->item && has_announced(p, f->known);
        expected += in;
        if (pc->left_bits && bit_set(pc->left_bits, words_for(index->chunk_count), c) != in)
            return disagree(why, why_size, "peer %d: chunk %d's bit is wrong", p->id, c);
        if (!pc->order) continue;
        int at = pc->order_at[c];
        int h = index->known[f->known].holders;
        if (in != (at >= 0) || (in && (pc->order[at] != c || at < pc->bucket[h] ||
                                       at >= pc->bucket[h + 1])))
            return disagree(why, why_size, "peer %d: chunk %d out of its run", p->id, c);
    }
    if (pc->order && expected != pc->order_len)
        return disagree(why, why_size, "peer %d: %d chunks in order, %d expected", p->id,
                        pc->order_len, expected);
    return true;
}

bool chunkindex_consistent(const bt_config_t *config, char *why, size_t why_size) {
    const chunk_index_t *index = config->chunk_index;
    if (!index) return true;
    if (!holders_agree(config, why, why_size)) return false;
    if (!index->running) return true;
    if (!list_agrees(config, why, why_size)) return false;
    for (const bt_peer_t *p = config->peers; p; p = p->next) {
        if (p->announced && !view_agrees(index, p, why, why_size)) return false;
    }
    return true;
}
