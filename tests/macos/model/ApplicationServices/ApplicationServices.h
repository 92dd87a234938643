// The model's ApplicationServices: HIServices' AXIsProcessTrusted (AXUIElement.h), which an
// active event tap needs.
#pragma once

#include <CoreGraphics/CoreGraphics.h>

Boolean AXIsProcessTrusted();
