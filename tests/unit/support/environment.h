// An environment variable set for one scope: the value it had before (or its
// absence) comes back when the scope ends.
#pragma once

#include <stdlib.h>

#include <string>

class ScopedVariable {
 public:
  ScopedVariable(const char* variable, const std::string& value) : name(variable) {
    const char* old = getenv(variable);
    hadOld = old != nullptr;
    if (hadOld) previous = old;
    setenv(variable, value.c_str(), 1);
  }
  ~ScopedVariable() {
    if (hadOld) {
      setenv(name.c_str(), previous.c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  std::string name;
  bool hadOld = false;
  std::string previous;
};
