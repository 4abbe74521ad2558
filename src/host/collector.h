// Pausing the host's cyclic garbage collector around work that builds many containers.
#pragma once

#include "host/ref.h"

namespace vornik::host {

// Keeps the cyclic collector from running for the lifetime of the object and restores its
// previous state on every path out. Containers built by a parse or a merge cannot become
// cyclic garbage before it returns, so a collection meanwhile only re-traverses them, several
// times over for a large document.
class CollectorPause {
 public:
  CollectorPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  VORNIK_PINNED(CollectorPause);
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

}  // namespace vornik::host
