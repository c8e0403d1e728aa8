// The process-wide list of live engines, in creation order, and the mutex
// that guards it. KivCreate appends, KivDestroy removes; whoever walks the
// list (the directory-status handler, which re-registers engines while it
// walks) holds EngineListMutex for the whole walk. The mutex is not
// recursive. Both objects live until the process ends.
#pragma once

#include <vector>

#include "support/threads/mutex.h"

struct KIV;

namespace kiv::engine {

PMutex& EngineListMutex();
// Read or change only while holding EngineListMutex.
std::vector<KIV*>& EngineList();

}  // namespace kiv::engine
