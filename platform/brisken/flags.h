// A typed set of flag bits, as the foundation library passes them around.
#pragma once

namespace Brisken {

template <typename Enum, typename Storage> class FlagsT {
public:
    constexpr FlagsT() = default;
    constexpr FlagsT(Storage bits) : m_bits(bits) {}
    constexpr FlagsT(Enum flag) : m_bits(static_cast<Storage>(flag)) {}

    constexpr bool testFlag(Enum flag) const
    {
        return (m_bits & static_cast<Storage>(flag)) == static_cast<Storage>(flag);
    }
    constexpr Storage bits() const { return m_bits; }

private:
    Storage m_bits = 0;
};

} // namespace Brisken
