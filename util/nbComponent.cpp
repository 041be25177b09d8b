#include "util/nbComponent.h"

#include <algorithm>

namespace nb {

TnbComponent::~TnbComponent() {
    // Taken out first: a Notification that unlinks (RemoveFreeNotification) must not change the
    // list being walked.
    std::vector<TnbComponent*> linked = std::move(linked_);
    linked_.clear();
    for (TnbComponent* other : linked) {
        other->Unlist(*this);
        other->Notification(*this);
    }
}

void TnbComponent::FreeNotification(TnbComponent& AComponent) {
    if (&AComponent == this)
        return;
    if (std::find(linked_.begin(), linked_.end(), &AComponent) == linked_.end())
        linked_.push_back(&AComponent);
    if (std::find(AComponent.linked_.begin(), AComponent.linked_.end(), this) ==
        AComponent.linked_.end()) {
        AComponent.linked_.push_back(this);
    }
}

void TnbComponent::RemoveFreeNotification(TnbComponent& AComponent) {
    Unlist(AComponent);
    AComponent.Unlist(*this);
}

void TnbComponent::Unlist(TnbComponent& AComponent) {
    linked_.erase(std::remove(linked_.begin(), linked_.end(), &AComponent), linked_.end());
}

}  // namespace nb
