#include "Overlook/Commands.h"

namespace overlook {

const std::vector<CommandEntry>& commands() {
    static const std::vector<CommandEntry> list = {
        {"displays", runDisplaysCommand,
         "overlook displays [--json] [--backend x11|fixture[=FILE]]\n"
         "    print the attached displays (--json: as a JSON array)\n"},
    };
    return list;
}

} // namespace overlook
