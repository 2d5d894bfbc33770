#include "pairing/NameCollator.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>

namespace orvo {

struct NameCollator::Impl {
  std::unique_ptr<icu::Collator> collator;
};

NameCollator::NameCollator(const char* locale) : impl_(std::make_unique<Impl>()) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Locale chosen = locale ? icu::Locale(locale) : icu::Locale::getDefault();
  impl_->collator.reset(icu::Collator::createInstance(chosen, status));
  if (U_FAILURE(status) || !impl_->collator) {
    status = U_ZERO_ERROR;
    impl_->collator.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
  }
  // Secondary strength: letters and accents count, letter case does not.
  if (impl_->collator) impl_->collator->setStrength(icu::Collator::SECONDARY);
}

NameCollator::~NameCollator() = default;

int NameCollator::compare(std::string_view a, std::string_view b) const {
  if (!impl_->collator) return a.compare(b);
  UErrorCode status = U_ZERO_ERROR;
  const auto result = impl_->collator->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                                                   icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), status);
  if (U_FAILURE(status)) return a.compare(b);
  return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
}

}  // namespace orvo
