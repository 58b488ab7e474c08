#pragma once

#include <functional>
#include <memory>

#include "Quellon/Scene.h"

namespace QuellonTest {

// Two numbers copied one after the other, with a hook between them: a copy that fails half way.
class ValueScene : public Quellon::Scene {
public:
    explicit ValueScene(int value = 0) : m_first(value), m_second(value) {}

    void CopyFrom(std::shared_ptr<Quellon::Scene> source) override {
        const auto& from = static_cast<const ValueScene&>(*source);
        m_first = from.m_first;
        if (m_midCopy) {
            m_midCopy();
        }
        m_second = from.m_second;
    }

    void Set(int value) {
        m_first = value;
        m_second = value;
    }

    int m_first, m_second;
    std::function<void()> m_midCopy;
};

}  // namespace QuellonTest
