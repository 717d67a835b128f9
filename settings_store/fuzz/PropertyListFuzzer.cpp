// libFuzzer target: the settings file reader and the JSON bridge decoder, fed the
// same bytes. Neither may crash, and whatever the reader accepts must write out and
// read back unchanged.

#include "settings_store/Defaults.h"

#include <cstdlib>

using namespace overlook;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    auto parsed = parsePropertyList(bytes);
    if (parsed.value && !unstorableReason(*parsed.value)) {
        if (const auto* dict = parsed.value->get<PropertyList::Dictionary>()) {
            auto again = parsePropertyList(toXml(*dict));
            if (!again.value || *again.value != *parsed.value)
                std::abort();
        }
    }

    const PropertyList text{std::string(bytes)};
    (void)Defaults::fromStored<std::vector<int>>(text);
    (void)Defaults::fromStored<double>(text);
    (void)Defaults::fromStored<Defaults::URL>(text);
    (void)Defaults::fromStored<std::map<std::string, std::optional<bool>>>(text);
    return 0;
}
