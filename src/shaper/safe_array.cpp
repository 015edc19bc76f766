// Typed access to the service's out arrays.
#include "shaper/interfaces.h"

namespace {

template <typename Vector>
const Vector& Expect(const SafeArray::Data& data, bool present) {
    const Vector* v = std::get_if<Vector>(&data);
    if (v == nullptr || !present) throw ComError(E_INVALIDARG);
    return *v;
}

template <typename Vector>
auto At(const Vector& v, size_t i) -> decltype(v[i]) {
    if (i >= v.size()) throw ComError(E_INVALIDARG);
    return v[i];
}

}  // namespace

VarType SafeArray::type() const {
    if (otherType_) return VarType::Other;
    switch (data_.index()) {
        case 1:
            return VarType::Bstr;
        case 2:
            return VarType::Long;
        case 3:
            return VarType::Bool;
        case 4:
            return VarType::LongLong;
        default:
            return VarType::Missing;
    }
}

size_t SafeArray::Count(VarType expected) const {
    if (type() != expected) throw ComError(E_INVALIDARG);
    return std::visit(
        [](const auto& v) -> size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::monostate>) {
                return 0;
            } else {
                return v.size();
            }
        },
        data_);
}

const std::wstring& SafeArray::Bstr(size_t i) const {
    return At(Expect<std::vector<std::wstring>>(data_, !otherType_), i);
}

int32_t SafeArray::Long(size_t i) const {
    return At(Expect<std::vector<int32_t>>(data_, !otherType_), i);
}

bool SafeArray::Bool(size_t i) const {
    return At(Expect<std::vector<bool>>(data_, !otherType_), i);
}

int64_t SafeArray::LongLong(size_t i) const {
    return At(Expect<std::vector<int64_t>>(data_, !otherType_), i);
}
