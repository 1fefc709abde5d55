// Internal to platform/com: whether the calling thread may use COM
// activation (it initialised COM itself, or some thread of the process is in
// the multithreaded apartment).
#pragma once

namespace tp::com {

bool ThreadMayUseCom();

}  // namespace tp::com
