// The answer of one step of a native JSON road: the step is done (its
// result written), it declines (nothing written; the package's own Python
// code decides the whole value), or it failed with an exception set. Every
// JSON road answers with it: the walk of whole trees and the object seams.
#pragma once

namespace vesk::symbolic::json {

enum Step : int { kError = -1, kDecline = 0, kDone = 1 };

}  // namespace vesk::symbolic::json
