#pragma once

#include <boost/noncopyable.hpp>

namespace Quellon {

// Owns one OpenGL object name and deletes it with the function it was given, so that an
// object whose construction fails after the name was made still deletes it. The context the
// name belongs to must be current when the owner is destroyed.
class OpenglName : private boost::noncopyable {
public:
    using Deleter = void (*)(unsigned int name);

    explicit OpenglName(Deleter deleter) : m_deleter(deleter) {}
    ~OpenglName() {
        if (m_name != 0) {
            m_deleter(m_name);
        }
    }

    unsigned int Get() const { return m_name; }
    // Where glGen* writes the new name; the name then belongs to this object.
    unsigned int* Receive() { return &m_name; }
    // Takes over a name made by a glCreate* call.
    void Adopt(unsigned int name) { m_name = name; }

private:
    Deleter m_deleter;
    unsigned int m_name = 0;
};

}  // namespace Quellon
