// A small ext4 file system on a loop device, mounted below a TempDir: full
// disks and failing devices for real. ok() is false where the host cannot
// mount one (the tests then skip).
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "harness.h"

inline int Sh(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()); }

class LoopFs {
 public:
  explicit LoopFs(int megabytes) {
    mkdir(mnt_.c_str(), 0755);
    std::string make = "truncate -s " + std::to_string(megabytes) + "M " + image_ +
                       " && mkfs.ext4 -q -F -m 0 " + image_ +
                       " >/dev/null 2>&1 && losetup -f --show " + image_ + " 2>/dev/null";
    FILE* p = popen(make.c_str(), "r");
    char dev[64] = "";
    if (p && fgets(dev, sizeof dev, p)) device_.assign(dev, strcspn(dev, "\n"));
    if (p) pclose(p);
    ok_ = !device_.empty() && Sh("mount " + device_ + " " + mnt_) == 0;
  }
  ~LoopFs() {
    if (ok_) Sh("umount -l " + mnt_);
    if (!device_.empty()) Sh("losetup -d " + device_);
  }
  bool ok() const { return ok_; }
  const std::string& device() const { return device_; }
  std::string operator/(const std::string& name) const { return mnt_ + "/" + name; }
  // Shrinks the image under the mounted file system: reads of the lost
  // blocks then fail with EIO.
  bool CutTo(int megabytes) {
    return Sh("sync && truncate -s " + std::to_string(megabytes) + "M " + image_ +
              " && losetup -c " + device_) == 0;
  }

 private:
  TempDir dir_;
  std::string image_ = dir_ / "image", mnt_ = dir_ / "mnt", device_;
  bool ok_ = false;
};
