#pragma once

#include <boost/noncopyable.hpp>

namespace Quellon {

// Told by the main window that the user closes it.
class IWindowListener : private boost::noncopyable {
public:
    // Called on the Qt thread before the close is accepted; returns once whatever the window
    // shows has stopped using it.
    virtual void OnClose() = 0;
    virtual ~IWindowListener() = default;
};

}  // namespace Quellon
