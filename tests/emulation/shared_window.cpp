#include "shared_window.h"

std::size_t __cvta_generic_to_shared(const void* ptr) {
  quorl::emu::SharedWindow* window = quorl::emu::SharedWindow::active();
  if (window == nullptr) {
    quorl::emu::Faults::log().report("a shared address taken outside an emulated CTA");
    return 0;
  }
  return window->address(ptr);
}
