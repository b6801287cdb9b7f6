// Start-up actions: objects of static storage duration register an action when constructed, and
// the daemon runs the whole sequence once, after main() has begun and before it configures
// anything. Registering from a static constructor only records a pointer, so it does not depend
// on the order in which translation units are initialised.
#pragma once

namespace Gantry::Init {

class Action {
  public:
    // Lower ranks run first.
    explicit Action(int rank = 0) : rank_(rank) {}
    virtual void initialise() = 0;
    virtual ~Action() = default;
    Action(const Action&) = delete;
    Action& operator=(const Action&) = delete;

    int rank() const { return rank_; }

  private:
    const int rank_;
};

// An action that appends itself to Sequence::instance() on construction and takes itself out
// again on destruction (so a sequence never runs a destroyed action).
class AutoAction : public Action {
  public:
    explicit AutoAction(int rank = 0);
    ~AutoAction() override;
};

}  // namespace Gantry::Init
