#include "gantry/init/sequence.h"

#include <algorithm>

namespace Gantry::Init {

AutoAction::AutoAction(int rank) : Action(rank) {
    Sequence::instance().add(this);
}

AutoAction::~AutoAction() {
    Sequence::instance().remove(this);
}

Sequence& Sequence::instance() {
    // Deliberately leaked: static destructors of other translation units may still use it.
    static Sequence* const sequence = new Sequence;
    return *sequence;
}

void Sequence::add(Action* action) {
    if (action == nullptr) return;
    MT::Lock lock(mutex_);
    for (const Entry& entry : entries_) {
        if (entry.action == action) return;
    }
    entries_.push_back({action, false});
}

void Sequence::remove(Action* action) {
    MT::Lock lock(mutex_);
    std::erase_if(entries_, [action](const Entry& entry) { return entry.action == action; });
}

void Sequence::run() {
    for (;;) {
        Action* next = nullptr;
        {
            MT::Lock lock(mutex_);
            std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
                return a.action->rank() < b.action->rank();
            });
            for (Entry& entry : entries_) {
                if (!entry.done) {
                    entry.done = true;  // marked first: a concurrent or nested run() skips it
                    next = entry.action;
                    break;
                }
            }
        }
        if (next == nullptr) return;
        next->initialise();
    }
}

size_t Sequence::size() const {
    MT::Lock lock(mutex_);
    return entries_.size();
}

size_t Sequence::pending() const {
    MT::Lock lock(mutex_);
    return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(),
                                             [](const Entry& entry) { return !entry.done; }));
}

}  // namespace Gantry::Init
