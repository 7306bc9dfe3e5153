#include "guidelog/output_budget.h"

#include <cstdio>

namespace ktal {

void PrintBudgetExceeded(const OutputBudget& budget, const char* file) {
  std::printf(
      "ERROR: the outputs of this log would exceed their budget of %llu files and %llu bytes at "
      "'%s'\n",
      static_cast<unsigned long long>(budget.files()),
      static_cast<unsigned long long>(budget.bytes()), file);
}

}  // namespace ktal
