/* Links against the installed libraries and calls them. A shape the library
 * refuses gives a null handle on any machine, with or without a GPU, so the
 * program succeeds exactly when the call reached the library and came back. */
#include <quorl_kernel.h>
#include <quorl_verify.h>
#include <stdio.h>

int main(void) {
  int32_t rows[100] = {0}, cols[256] = {0};
  QkHandle* h = qk_init(0, 100, 256, 64, 50, 4, rows, cols); /* m must be a multiple of 128 */
  if (h != NULL) {
    qk_free(h);
    return 1;
  }
  puts("consumer: refused shape gives a null handle");

  /* The verifier refuses the same shape, with its reason. */
  QvRecord record = {0};
  QvVerdict verdict;
  char why[128];
  record.m = 100, record.n = 256, record.k = 64, record.found = -1;
  if (qv_verify(&record, 1, &verdict, why, sizeof why) != QV_BAD_RECORD) return 1;
  printf("consumer: verifier says \"%s\"\n", why);
  return 0;
}
