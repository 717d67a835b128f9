#pragma once
// The application's settings: the typed keys (created once, on first use, which
// registers their defaults) and the names read straight from the store.

#include "Overlook/GraphicsColor.h"
#include "Overlook/StreamQuality.h"
#include "settings_store/Defaults.h"

namespace overlook {

namespace Defaults::Keys {
const Key<bool>& displayCrosshair();
// A StreamQuality raw value, stored as the number.
const Key<double>& scale();
const Key<GraphicsColor>& crosshairColor();
const Key<double>& crosshairWeight();
} // namespace Defaults::Keys

// Names used directly at each use site, with the default given there; these
// defaults are not registered.
namespace preferences {
inline constexpr const char* kHideMainDisplay = "hideMainDisplay"; // false
inline constexpr const char* kAutoPlay = "autoPlay";               // false
inline constexpr const char* kDesaturationPausedStream = "desaturationPausedStream"; // true
} // namespace preferences

// The default crosshair colour: red 1, green 200/255, blue 30/255, alpha 1.
GraphicsColor defaultCrosshairColor();

// Creates the typed keys and makes the user's settings the store that stream
// controllers read. Called once at start-up, before any controller is made.
void installStandardDefaults();

} // namespace overlook
