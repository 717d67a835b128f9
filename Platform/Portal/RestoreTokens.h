#pragma once
// Where the portal's restore tokens are kept between runs, one per display, so
// that the desktop asks for consent once. The application backs it with its
// settings; Platform/ only sees this interface. Called on the capture thread.

#include "Tessera/DisplayQueryService.h"

#include <string>

namespace overlook::portal {

class RestoreTokenStore {
public:
    virtual ~RestoreTokenStore() = default;
    // "" when there is none.
    virtual std::string token(DisplayID display) const = 0;
    // An empty token forgets the display's.
    virtual void setToken(DisplayID display, const std::string& token) = 0;
};

} // namespace overlook::portal
