// A firmware file (*.fw): up to three images (hand controller, camera, the
// camera's CCD board) behind a header of three section offsets.
#pragma once

namespace ktal {}  // namespace ktal
