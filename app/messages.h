// The lines patch500 prints, each followed by a line end: its refusals and
// its one success. Scripts match them, so they never change.
#pragma once

namespace message {

inline constexpr char NeedTwoParameters[] = "Need 2 parameters";
inline constexpr char CantFindFirst[] = "can't find 1st file";
inline constexpr char CantFindSecond[] = "can't find 2nd file";
inline constexpr char NoFileOfPatchSize[] = "Size of a file must be 500 bytes";
inline constexpr char BothOfPatchSize[] = "Both of files are 500 bytes length";
inline constexpr char Ok[] = "Ok";

}  // namespace message
