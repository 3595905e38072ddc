// The number of descriptors this process holds open, to catch one that a
// test's subject left open (compare before and after).
#pragma once

#include <dirent.h>

inline int OpenDescriptors() {
  DIR* directory = opendir("/proc/self/fd");
  if (directory == nullptr) return -1;
  int count = 0;
  while (readdir(directory) != nullptr) ++count;
  closedir(directory);
  return count;
}
