#include "agent/rynUtil/Wow64PathMap.h"

namespace ryn {

// Every file operation maps its path: the system is asked once, by the first one
// (thread-safe, as any static local).
const Wow64PathMap& Wow64PathMap::ForThisProcess() {
    static const Wow64PathMap map = QuerySystem();
    return map;
}

}  // namespace ryn
