#pragma once

#include <list>

#include "module/LinkedPtr.h"
#include "module/ProcInfoParserInterface.h"

// The process table of one pass: bound parsers in ascending pid order.
typedef std::list<LinkedPtr<CProcInfoParserInterface>> ProcParserList;
