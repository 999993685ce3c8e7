#include "text/MultiSearch.h"

#include "text/TextSearch.h"

namespace vorla {

TMultiSearch::TMultiSearch(const std::vector<std::string>& patterns) {
    m_lengths.reserve(patterns.size());
    for (const std::string& p : patterns) m_lengths.push_back(static_cast<std::uint32_t>(p.size()));

    // Classes: 0 for every byte that no pattern holds, then one per folded byte value in use.
    std::uint8_t classOfFolded[256] = {};
    std::uint32_t classes = 1;
    for (const std::string& p : patterns)
        for (char c : p) {
            const unsigned char f = FoldByte(static_cast<unsigned char>(c));
            if (!classOfFolded[f]) classOfFolded[f] = static_cast<std::uint8_t>(classes++);
        }
    if (classes == 1) return;  // no byte in any pattern: nothing can be found
    m_classes = classes;
    for (int b = 0; b < 256; ++b) m_class[b] = classOfFolded[FoldByte(static_cast<unsigned char>(b))];

    // The trie; a 0 entry means "no child" while it is built (no edge leads back to the root).
    std::vector<std::vector<std::uint32_t>> ownOutputs(1);
    m_delta.assign(classes, 0);
    for (std::uint32_t id = 0; id < patterns.size(); ++id) {
        const std::string& p = patterns[id];
        if (p.empty()) continue;
        std::uint32_t state = 0;
        for (char c : p) {
            std::uint32_t& next = m_delta[state * classes + m_class[static_cast<unsigned char>(c)]];
            if (next == 0) {
                next = static_cast<std::uint32_t>(ownOutputs.size());
                ownOutputs.emplace_back();
                m_delta.resize(m_delta.size() + classes, 0);
            }
            state = m_delta[state * classes + m_class[static_cast<unsigned char>(c)]];
        }
        ownOutputs[state].push_back(id);
    }
    const std::size_t states = ownOutputs.size();

    // Renumbered breadth first, so that the shallow states, where a scan spends most of its
    // time, lie together in the table.
    {
        std::vector<std::uint32_t> order{0}, renumbered(states, 0);
        order.reserve(states);
        for (std::size_t head = 0; head < order.size(); ++head)
            for (std::uint32_t c = 0; c < classes; ++c)
                if (const std::uint32_t child = m_delta[order[head] * classes + c]) {
                    renumbered[child] = static_cast<std::uint32_t>(order.size());
                    order.push_back(child);
                }
        std::vector<std::uint32_t> delta(m_delta.size());
        std::vector<std::vector<std::uint32_t>> outputs(states);
        for (std::size_t n = 0; n < states; ++n) {
            const std::uint32_t old = order[n];
            for (std::uint32_t c = 0; c < classes; ++c) delta[n * classes + c] = renumbered[m_delta[old * classes + c]];
            outputs[n] = std::move(ownOutputs[old]);
        }
        m_delta = std::move(delta);
        ownOutputs = std::move(outputs);
    }

    // Breadth first: each state's failure state is complete before its children are reached,
    // so a missing edge takes the failure state's edge.
    std::vector<std::uint32_t> fail(states, 0);
    m_outLink.assign(states, kNone);
    std::vector<std::uint32_t> queue;
    queue.reserve(states);
    for (std::uint32_t c = 0; c < classes; ++c)
        if (const std::uint32_t child = m_delta[c]) queue.push_back(child);
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const std::uint32_t s = queue[head];
        const std::uint32_t f = fail[s];
        m_outLink[s] = ownOutputs[f].empty() ? m_outLink[f] : f;
        for (std::uint32_t c = 0; c < classes; ++c) {
            std::uint32_t& next = m_delta[s * classes + c];
            const std::uint32_t viaFail = m_delta[f * classes + c] & kStateMask;
            if (next == 0) {
                next = viaFail;
            } else {
                fail[next] = viaFail;
                queue.push_back(next);
            }
        }
    }
    // Output lists; a transition is flagged when its target reports anything.
    m_outBegin.assign(states + 1, 0);
    for (std::size_t s = 0; s < states; ++s) {
        m_outBegin[s] = static_cast<std::uint32_t>(m_outputs.size());
        m_outputs.insert(m_outputs.end(), ownOutputs[s].begin(), ownOutputs[s].end());
    }
    m_outBegin[states] = static_cast<std::uint32_t>(m_outputs.size());
    for (std::uint32_t& next : m_delta) {
        const std::uint32_t target = next & kStateMask;
        next = target * classes;
        if (!ownOutputs[target].empty() || m_outLink[target] != kNone) next |= kHasOutput;
    }
}

}  // namespace vorla
