#include "ShortcutPath.h"

namespace overlook {

namespace {
ShortcutPath& current() {
    static ShortcutPath path;
    return path;
}
} // namespace

const ShortcutPath& shortcutPath() { return current(); }

void setShortcutPath(ShortcutPath path) {
    current() = std::move(path);
    shortcutPathChanged().emit(current());
}

Signal<const ShortcutPath&>& shortcutPathChanged() {
    static Signal<const ShortcutPath&> signal;
    return signal;
}

} // namespace overlook
