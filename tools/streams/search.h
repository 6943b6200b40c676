// The capacity search: which stream count to probe next.
//
// Double from 1 while probes pass, bisect between the last pass and the
// first failure, then confirm the answer `repeat` times. A confirmation that
// fails makes that count a failure and the search goes on below it, so the
// answer is only ever a count whose every probe passed. Without failed
// confirmations an answer A takes at most 2*log2(A) + 3 probes (the limit
// itself passing takes fewer).
#pragma once

#include <vector>

namespace streams {

class Search {
 public:
  Search(int limit, int repeat) : limit_(limit), repeat_(repeat) {}

  // The count to probe next, or 0 when the search is over.
  int Next() const { return next_; }
  // What the next probe is for: "double", "bisect" or "confirm".
  const char* Role() const { return role_; }
  void Record(int streams, bool passed);

  int Answer() const { return lastPass_; }
  int FirstFailure() const { return firstFail_; }  // 0 when none failed
  bool Lowered() const { return lowered_; }        // a confirmation failed

 private:
  void Plan();
  int limit_, repeat_;
  int next_ = 1;
  const char* role_ = "double";
  bool doubling_ = true, lowered_ = false;
  int lastPass_ = 0, firstFail_ = 0, confirmed_ = 0;
  std::vector<int> passed_;  // every count that passed, in order
};

}  // namespace streams
