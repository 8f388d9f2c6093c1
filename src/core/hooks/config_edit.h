#pragma once
#include <string>
#include <vector>

#include "core/common/result.h"

namespace gt {

// An edit of one configuration text that may be written.
struct ConfigEdit {
  std::string text;  // the new contents; equal to the old ones when nothing changed
  bool changed = false;
  std::vector<std::string> notes;  // short facts for the report
};

// Why an edit was refused (nothing may be written); the detail is the sentence the user reads, which
// says what to do and that the file was left unchanged.
enum class EditProblem {
  malformed,     // the text does not parse, or a value our hooks go into is of another type: fix it
  unsafeLayout,  // no edit could be made that changes only our part: edit by hand
};
using EditResult = Result<ConfigEdit, Problem<EditProblem>>;

// A refusal: what is wrong and what to do, and that the file was left unchanged.
inline Failure<Problem<EditProblem>> refuseEdit(EditProblem kind, const std::string& why) {
  return fail(kind, why + " It was left unchanged.");
}

}  // namespace gt
