#include "Ostrel/scheduling/TurnOrder.h"

#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

TurnOrder::TurnOrder() : queue(boost::make_shared<Queue>()) {}

boost::shared_ptr<TurnOrder::Turn> TurnOrder::take()
{
    boost::lock_guard<boost::mutex> lock(queue->mutex);
    const std::uint64_t number = queue->next++;
    queue->open.insert(number);
    return boost::make_shared<Turn>(queue, number);
}

void TurnOrder::Turn::await() const
{
    boost::unique_lock<boost::mutex> lock(queue->mutex);
    while (*queue->open.begin() != number)
        queue->moved.wait(lock);
}

void TurnOrder::Turn::done()
{
    {
        boost::lock_guard<boost::mutex> lock(queue->mutex);
        if (queue->open.erase(number) == 0)
            return;
    }
    queue->moved.notify_all();
}
