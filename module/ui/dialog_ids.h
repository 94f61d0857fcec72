// The parameter dialog's control ids, as its template numbers them: the one place they are
// named. The module, the tests and the scripted users use these names.
#pragma once

namespace dialog_id {

constexpr int kOk = 1;  // IDOK and IDCANCEL, as Windows numbers the default buttons
constexpr int kCancel = 2;
constexpr int kBigView = 100;
constexpr int kSmallView = 101;
constexpr int kPreview = 102;
constexpr int kRestore = 103;
constexpr int kParallel = 250;  // the three mode radio buttons, in their order
constexpr int kRightAngle = 251;
constexpr int kMixed = 252;
constexpr int kFade = 223;
// The four number fields, their labels and their scroll bars.
constexpr int kAngleLabel = 152, kAngle = 153, kAngleBar = 154;
constexpr int kRegionsLabel = 110, kRegions = 115, kRegionsBar = 120;
constexpr int kSpacingLabel = 227, kSpacing = 228, kSpacingBar = 229;
constexpr int kIntensityLabel = 112, kIntensity = 117, kIntensityBar = 122;

}  // namespace dialog_id
