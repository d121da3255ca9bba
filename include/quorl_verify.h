/* libquorl_verify: checks a mining attempt on the host alone, no GPU needed.
 *
 * A record holds everything that proves one attempt: how its matrices were
 * made (full mode: the two generator seeds; B-only mode: the preparation seed
 * and the run of nonces applied since preparation, first_nonce .. nonce), the
 * job (key, target, dims), what the miner reported (roots, noise seeds, found)
 * and, for a share, the cell's hash. The verifier recomputes the roots and the
 * seeds, then only the noised rows and columns of the claimed cell, its
 * 16-word message and its keyed hash, and compares the hash with the target.
 *
 * 32-byte values are eight 32-bit words, word 0 first, each little-endian (in
 * text: 64 lowercase hex digits, byte 0 first). Cells are those of the
 * standard hash grid: m/2 rows by n/64 columns, grid index R * (n/64) + C.
 *
 * Every call returns QV_OK (0), QV_INVALID (1, a well-formed record whose
 * claim does not hold; qv_verify only) or QV_BAD_RECORD (2) with a one-line
 * reason in `error` (which may be null). Nothing throws, nothing aborts; the
 * calls keep no state and may run on any number of threads at once.
 */
#ifndef QUORL_VERIFY_H
#define QUORL_VERIFY_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define QV_API __attribute__((visibility("default")))
#else
#define QV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum { QV_OK = 0, QV_INVALID = 1, QV_BAD_RECORD = 2 };
enum QvMode { QV_MODE_FULL = 0, QV_MODE_BONLY = 1 };

typedef struct QvRecord {
  int32_t mode; /* enum QvMode */
  int32_t m, n, k;
  uint32_t key[8];
  uint32_t target[8];
  uint64_t seed_a, seed_b;       /* full mode: the generator seeds of A and B */
  uint64_t prepare_seed;         /* B-only: A from this seed, B from it XOR 0xD1B54A32D192ED03 */
  uint64_t first_nonce, nonce;   /* B-only: nonces first_nonce .. nonce applied in order */
  uint32_t a_hash[8], b_hash[8]; /* claimed commitment roots */
  uint32_t a_seed[8], b_seed[8]; /* claimed noise seeds */
  int32_t found;                 /* -1, or the claimed cell's grid index */
  int32_t has_hash;              /* non-zero when `hash` holds the claimed cell hash */
  uint32_t hash[8];
} QvRecord;

/* Why a well-formed record failed; checks run in this order. */
enum QvFault {
  QV_FAULT_NONE = 0,
  QV_FAULT_A_HASH = 1,
  QV_FAULT_B_HASH = 2,
  QV_FAULT_B_SEED = 3,
  QV_FAULT_A_SEED = 4,
  QV_FAULT_HASH = 5,   /* the cell's hash is not the claimed one */
  QV_FAULT_TARGET = 6  /* the cell's hash is above the target */
};

typedef struct QvVerdict {
  int32_t fault;                 /* enum QvFault */
  uint32_t a_hash[8], b_hash[8]; /* recomputed */
  uint32_t a_seed[8], b_seed[8];
  int32_t has_cell;              /* found >= 0: message and hash below are set */
  uint32_t message[16];
  uint32_t hash[8];
} QvVerdict;

/* The roots and noise seeds of the record's attempt (its claimed values are
 * not read). `threads` > 1 spreads the commitment over that many threads. */
QV_API int qv_attempt_roots(const QvRecord* record, int threads, uint32_t a_hash[8],
                            uint32_t b_hash[8], uint32_t a_seed[8], uint32_t b_seed[8],
                            char* error, size_t error_size);

/* The 16-word message and keyed hash of cell `cell` of the record's attempt. */
QV_API int qv_cell(const QvRecord* record, int32_t cell, int threads, uint32_t message[16],
                   uint32_t hash[8], char* error, size_t error_size);

/* Checks the record's claims. A record with found = -1 claims no share: its
 * roots and seeds are checked, nothing more. */
QV_API int qv_verify(const QvRecord* record, int threads, QvVerdict* verdict, char* error,
                     size_t error_size);

/* One record as a JSON object (the form `qkmine mine` prints). Unknown fields
 * are ignored; seeds and nonces are decimal integers, 32-byte values hex. */
QV_API int qv_parse_record(const char* json, size_t length, QvRecord* record, char* error,
                           size_t error_size);
/* The record as one line of JSON; returns the length it needs (without the
 * terminating zero), writing at most `size` bytes including it. */
QV_API size_t qv_format_record(const QvRecord* record, char* out, size_t size);

/* Pool shares.
 *
 * A pool issues a job (mode, dims, key, target and, for B-only mining, the
 * most nonces one preparation may run) and gives every connection its own
 * 32-bit extranonce E, the connection's seed space. A miner submits only how
 * its matrices were made and which cell it claims; the pool checks that
 * against the job it issued. So the job alone fixes the work of a check: the
 * matrices of its dims, and in B-only mode at most one replayed nonce per
 * chunk of B, however long the claimed nonce run. */

typedef struct QvJob {
  int32_t mode; /* enum QvMode */
  int32_t m, n, k;
  uint32_t key[8];
  uint32_t target[8];
  uint64_t max_nonces; /* B-only: nonce - first_nonce must stay below it (>= 1); full: ignored */
  uint32_t extranonce; /* E: seed_a >> 32 (full) or prepare_seed >> 32 (B-only) must equal it */
} QvJob;

typedef struct QvShare {
  uint64_t seed_a, seed_b;                   /* full mode (the other fields are ignored) */
  uint64_t prepare_seed, first_nonce, nonce; /* B-only mode (seed_a, seed_b ignored) */
  int32_t found;                             /* the claimed cell's grid index */
} QvShare;

/* Why a share was refused, with the stratum error each maps onto. */
enum QvShareReason {
  QV_SHARE_ACCEPTED = 0,
  QV_SHARE_OUTSIDE_SPACE = 1, /* 20 "outside your seed space": seeds not in E, or a
                                 B-only nonce run that goes backwards or is too long */
  QV_SHARE_NO_CELL = 2,       /* 20 "invalid share": found is not a cell of the grid */
  QV_SHARE_ABOVE_TARGET = 3   /* 23 "share above target" */
};

typedef struct QvShareVerdict {
  int32_t reason;       /* enum QvShareReason */
  int32_t stratum_code; /* 0 when accepted, else 20 or 23 as above */
  int32_t has_cell;     /* the attempt was rebuilt: roots, seeds, message and hash are set */
  uint32_t message[16]; /* the claimed cell's message */
  uint32_t hash[8];     /* its keyed hash, the value compared with the target */
  uint32_t a_hash[8], b_hash[8], a_seed[8], b_seed[8];
} QvShareVerdict;

/* QV_OK when the verifier can check shares of the job: a mode, dims that
 * qk_init accepts, matrices within the verifier's limit, and max_nonces >= 1
 * for B-only jobs. Otherwise QV_BAD_RECORD with the reason. */
QV_API int qv_check_job(const QvJob* job, char* error, size_t error_size);

/* Checks a share against the job it was found for: the seed space first,
 * then the cell, then the cell's hash against the target. QV_OK accepted,
 * QV_INVALID refused (verdict->reason), QV_BAD_RECORD when the job cannot be
 * checked (as qv_check_job), a pointer is null or memory runs out. */
QV_API int qv_check_share(const QvJob* job, const QvShare* share, int threads,
                          QvShareVerdict* verdict, char* error, size_t error_size);

/* The share in a form that names its attempt: fields the job's mode does not
 * use are zero and, in B-only mode, first_nonce is raised to the first nonce
 * whose mutation survives (a nonce rewrites one block of the chunk it selects,
 * so of a run longer than B's chunk count only the last chunk-count nonces
 * matter). Shares with equal canonical forms searched the same matrices and
 * claim the same cell: pools key duplicates on it. Cheap; nothing is rebuilt.
 * QV_BAD_RECORD (with the reason) only for a job qv_check_job refuses. */
QV_API int qv_canonical_share(const QvJob* job, const QvShare* share, QvShare* canonical,
                              char* error, size_t error_size);

/* The message a pool sends with the refusal: "outside your seed space",
 * "invalid share", "share above target"; "" for QV_SHARE_ACCEPTED and for
 * values outside the enum. Static storage. */
QV_API const char* qv_share_reason_text(int reason);

#ifdef __cplusplus
}
#endif

#endif /* QUORL_VERIFY_H */
