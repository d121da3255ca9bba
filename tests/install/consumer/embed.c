/* Links against the installed library and calls it. A shape the library
 * refuses gives a null handle on any machine, with or without a GPU, so the
 * program succeeds exactly when the call reached the library and came back. */
#include <quorl_kernel.h>
#include <stdio.h>

int main(void) {
  int32_t rows[100] = {0}, cols[256] = {0};
  QkHandle* h = qk_init(0, 100, 256, 64, 50, 4, rows, cols); /* m must be a multiple of 128 */
  if (h != NULL) {
    qk_free(h);
    return 1;
  }
  puts("consumer: refused shape gives a null handle");
  return 0;
}
