// SPDX-License-Identifier: GPL-3.0-or-later
// The three plots of one guided exposure: drift, point spread and
// accumulated corrections.
#pragma once

#include "guidelog/guide_log.h"

namespace ktal {

// Draws log.drift_image, log.spread_image and log.error_image from
// log.positions and log.exposure as NextGuidedExposure left them.
void RenderExposurePlots(GuideLog& log);

}  // namespace ktal
