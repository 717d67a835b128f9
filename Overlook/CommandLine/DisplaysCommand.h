#pragma once
#include "Tessera/Display.h"

#include <string>
#include <vector>

namespace overlook {

// The display records as readable text, one block per display.
std::string describeDisplays(const std::vector<Display>& displays);
// The display records as a JSON array whose members are the records' field names.
std::string displaysAsJson(const std::vector<Display>& displays);

} // namespace overlook
