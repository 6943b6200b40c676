#include "search.h"

#include <algorithm>
#include <string_view>

namespace streams {

void Search::Record(int streams, bool passed) {
  if (std::string_view(role_) == "confirm") {
    if (passed) {
      confirmed_++;
    } else {
      // The answer did not hold: it is a failure now, and the best count
      // below it that passed is the new lower bound.
      lowered_ = true;
      firstFail_ = streams;
      lastPass_ = 0;
      for (int p : passed_)
        if (p < streams) lastPass_ = std::max(lastPass_, p);
      confirmed_ = 0;
    }
  } else if (passed) {
    passed_.push_back(streams);
    lastPass_ = std::max(lastPass_, streams);
  } else {
    doubling_ = false;
    firstFail_ = firstFail_ == 0 ? streams : std::min(firstFail_, streams);
  }
  Plan();
}

void Search::Plan() {
  if (doubling_ && lastPass_ < limit_ && firstFail_ == 0) {
    next_ = std::min(lastPass_ * 2, limit_);
    role_ = "double";
  } else if (firstFail_ != 0 && firstFail_ - lastPass_ > 1) {
    next_ = lastPass_ + (firstFail_ - lastPass_) / 2;
    role_ = "bisect";
  } else if (lastPass_ > 0 && confirmed_ < repeat_) {
    next_ = lastPass_;
    role_ = "confirm";
  } else {
    next_ = 0;
    role_ = "";
  }
}

}  // namespace streams
