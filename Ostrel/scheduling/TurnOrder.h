#pragma once
// Turns taken one after the other in the order they were handed out, by
// threads that otherwise run freely. The engine gives each toggle a turn at
// setting its lines when it fires, so that toggles fired together (several
// linesets due at one moment) set their lines in the order of the schedule:
// on a line two of them share, the later one's mode is the one that stays.
// No Windows header.

#include <cstdint>
#include <set>
#include <utility>

#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

class TurnOrder {
private:
    struct Queue {
        boost::mutex mutex;
        boost::condition_variable moved;
        std::set<std::uint64_t> open;  // the turns not yet done, by number
        std::uint64_t next = 0;
    };

public:
    class Turn {
    public:
        // Only TurnOrder can make the queue a turn belongs to.
        Turn(boost::shared_ptr<Queue> queue, std::uint64_t number) : queue(std::move(queue)), number(number) {}
        // A turn dropped without done() is done then, so that no later turn
        // waits for a thread that never ran.
        ~Turn() { done(); }
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

        // Waits until every turn handed out before this one is done. An
        // interruption point of the thread library.
        void await() const;

        // Lets the next turn go; a second call does nothing. Any thread.
        void done();

    private:
        boost::shared_ptr<Queue> queue;
        const std::uint64_t number;
    };

    TurnOrder();

    // The next turn, after every one handed out so far.
    boost::shared_ptr<Turn> take();

private:
    boost::shared_ptr<Queue> queue;
};
