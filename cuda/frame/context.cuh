// The per-GPU context of one build: dimensions, every device buffer, the
// pinned result slots, three streams and three events.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

struct QkCtx {
  int32_t device;
  int32_t m;           // rows of A and of the product
  int32_t n;           // rows of B as stored, columns of the product
  int32_t k;           // inner dimension
  int32_t k_blocks;    // k / 128: 128-wide slices of the inner dimension
  int32_t row_groups;  // rows of the hash grid
  int32_t col_groups;  // columns of the hash grid

  int8_t* a;  // operands as the search multiplies them (noised or uploaded)
  int8_t* b;
  int8_t* a_plain;  // operands before noise: generated or uploaded, committed to
  int8_t* b_plain;
  int8_t* a_noise;  // noise tables: 128 values per row
  int8_t* b_noise;
  uint16_t* a_perm;  // selector tables: one (p, q) pair per k position
  uint16_t* b_perm;
  uint32_t* a_seed;  // noise seeds, 8 words each
  uint32_t* b_seed;
  uint32_t* a_tag;  // "A_tensor" / "B_tensor" and 24 zero bytes
  uint32_t* b_tag;
  uint32_t* a_tree0;  // ping-pong level buffers of A's and B's trees
  uint32_t* a_tree1;
  uint32_t* b_tree0;
  uint32_t* b_tree1;
  uint32_t* b_tree_full;     // every level of B's tree, for incremental update
  uint32_t* b_chunk_prefix;  // each chunk of B's chaining value after block 14
  uint32_t* a_hash;          // commitment roots
  uint32_t* b_hash;
  uint32_t* job_key;
  int32_t* row_group;  // hash-grid row of each product row
  int32_t* col_group;  // hash-grid column of each product column
  uint32_t* xored;     // k_blocks planes of row_groups x col_groups message words
  int32_t* found;
  int32_t* batch_found;  // 64 per-attempt results of a B-only batch
  int32_t* host_found;   // pinned host, 64 slots
  uint32_t* search_key;
  uint32_t* target;

  cudaStream_t stream;  // uploads, searches, readback
  cudaStream_t stream_a;
  cudaStream_t stream_b;
  cudaEvent_t ev_fork;
  cudaEvent_t ev_a_done;
  cudaEvent_t ev_b_done;
};
