#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quimbel {

// Removes private names from diagnostics text before it touches the disk:
// home-folder and volume names, e-mail addresses, the user's own names and
// the owner's word of a default device name ("Ada's iPhone").
//
// Immutable once made; `apply` is pure and safe on any thread at once.
class Redaction {
 public:
  // `names`: the user's own names; `titles`: words to hide as "‹clip›".
  // Entries of three characters or fewer are kept but never matched.
  explicit Redaction(std::vector<std::string> names = {}, std::vector<std::string> titles = {});

  // The program's redaction: the account's user name, its full name and each
  // word of the full name, each once; no titles.
  static Redaction forAccount();

  // Same list as forAccount builds, from a given user name and full name.
  static std::vector<std::string> accountNames(std::string_view userName,
                                               std::string_view fullName);

  const std::vector<std::string>& names() const noexcept { return names_; }
  const std::vector<std::string>& titles() const noexcept { return titles_; }

  // Returns the redacted text. Ill-formed UTF-8 in the input is first
  // replaced by U+FFFD, so the result is always well-formed.
  std::string apply(std::string_view text) const;

  struct Step;

 private:
  std::vector<std::string> names_;
  std::vector<std::string> titles_;
  std::shared_ptr<const std::vector<Step>> steps_;
};

}  // namespace quimbel
