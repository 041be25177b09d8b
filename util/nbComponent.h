// The base of the library's components: the free notification by which a component that keeps
// a pointer to another (a server to its guard, a file handler to its server) learns that the
// other is going, whichever of the two is destroyed first.
//
// Threads: links are made, broken and notified on the thread that configures and destroys the
// components (the host's thread), never while a server thread may use the link.
// Ownership: a component owns nothing of its links; each side lists the other, and the one that
// goes first removes itself from the other's list.
#pragma once

#include <vector>

namespace nb {

class TnbComponent {
public:
    TnbComponent() = default;
    // Calls Notification on every linked component, then leaves their lists. By then the
    // derived parts of this object are gone: a watcher may compare the address, nothing more.
    virtual ~TnbComponent();
    TnbComponent(const TnbComponent&) = delete;
    TnbComponent& operator=(const TnbComponent&) = delete;

    // AComponent's Notification is called when this component is destroyed (and this one's
    // when AComponent is). Linking twice is linking once.
    void FreeNotification(TnbComponent& AComponent);
    // Undoes FreeNotification in both directions.
    void RemoveFreeNotification(TnbComponent& AComponent);

protected:
    // AComponent, linked by FreeNotification, is being destroyed: forget every pointer to it.
    virtual void Notification(TnbComponent& AComponent) { (void)AComponent; }

private:
    void Unlist(TnbComponent& AComponent);

    std::vector<TnbComponent*> linked_;
};

}  // namespace nb
