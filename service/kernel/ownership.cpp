#include "service/kernel/ownership.h"

#include <algorithm>

namespace corvane::own {

const tc::Qdisc* FindQdisc(const std::vector<tc::Qdisc>& qdiscs, uint32_t parent) {
    for (const tc::Qdisc& q : qdiscs) {
        if (q.parent == parent) return &q;
    }
    return nullptr;
}

const tc::Qdisc* FindQdiscByHandle(const std::vector<tc::Qdisc>& qdiscs, uint32_t handle) {
    for (const tc::Qdisc& q : qdiscs) {
        if (q.handle == handle) return &q;
    }
    return nullptr;
}

bool IsDefault(const tc::Qdisc* q) {
    return q == nullptr || (q->handle >> 16) == 0;
}

bool Ours(const tc::Filter& f) {
    if (f.pref != tc::kRedirectPref || f.kind != "u32") return false;
    const bool hashTable = (f.handle & 0xFFF) == 0;
    return hashTable || f.cookie == tc::kRedirectCookie;
}

bool OurRedirect(const tc::Filter& f) {
    return f.pref == tc::kRedirectPref && f.cookie == tc::kRedirectCookie;
}

bool OwnIngress(const tc::Qdisc& ingress, const std::vector<tc::Filter>& filters, bool ifbExists) {
    if (ingress.kind != "ingress") return false;
    if (!std::all_of(filters.begin(), filters.end(), Ours)) return false;
    return !filters.empty() || ifbExists;
}

bool ForeignAtOurPref(const std::vector<tc::Filter>& filters) {
    return std::any_of(filters.begin(), filters.end(),
                       [](const tc::Filter& f) { return f.pref == tc::kRedirectPref && !Ours(f); });
}

bool OwnIfb(const links::Link& link, const std::string& wan) {
    return link.kind == "ifb" && link.alias == kAliasPrefix + wan;
}

std::string QdiscText(const tc::Qdisc& q) {
    return q.kind + " " + tc::HandleText(q.handle);
}

}  // namespace corvane::own
