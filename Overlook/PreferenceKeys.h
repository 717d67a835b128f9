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

// The views' binding of "desaturationPausedStream", observed like a typed key; its
// default, true, is its own and never registered with the store.
const Defaults::Key<bool>& desaturationPausedStream();

// The range of the General pane's "Line Width:" slider, and so of the crosshair weight.
inline constexpr int kMinimumCrosshairWeight = 2;
inline constexpr int kMaximumCrosshairWeight = 12;
} // namespace preferences

// What the application uses of each setting. The store holds whatever was written
// (a hand-edited file, `overlook defaults write`, another tool), so every read site
// goes through these. A value out of range is replaced by the nearest sane one or the
// default; each replaced value is logged once. The one-argument forms check a value
// read elsewhere (an observed key, a DefaultsStore).

// 1, 2, 4 or 8: a number between 1 and 8 becomes the nearest of these, anything else
// (0, negatives, NaN, infinities, huge numbers) the default quarter resolution.
double effectiveScale();
double effectiveScale(double stored);
// Within the slider's range; NaN and infinities give the default 2.
double effectiveCrosshairWeight();
double effectiveCrosshairWeight(double stored);
// Components within [0, 1]; a colour with a non-finite component gives the default.
GraphicsColor effectiveCrosshairColor();
GraphicsColor effectiveCrosshairColor(const GraphicsColor& stored);
bool effectiveDisplayCrosshair();
// Numbers count by value; anything that is no boolean gives the default, true.
bool effectiveDesaturationPausedStream();

// The default crosshair colour: red 1, green 200/255, blue 30/255, alpha 1.
GraphicsColor defaultCrosshairColor();

// Creates the typed keys and makes the user's settings the store that stream
// controllers read. Called once at start-up, before any controller is made.
void installStandardDefaults();

} // namespace overlook
