// What of the system is the service's own: the marks it leaves on what it
// creates, and how a look tells its own qdiscs, filters and devices from
// another tool's. Pure functions of what the kernel showed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "netlink/links.h"
#include "netlink/tc.h"

namespace corvane {
namespace links = ::nl::links;
namespace tc = ::nl::tc;
}  // namespace corvane

namespace corvane::own {

// The IFB devices carry this alias, so that the service knows them again.
inline constexpr const char* kAliasPrefix = "corvane-service: download of ";
// The leaf detection's scratch IFB: "cvnp" and the process id, so that two
// services (two configurations) starting at once do not share one; "cvn-"
// names are the gateways' own, so this one cannot collide with them.
inline constexpr const char* kScratchPrefix = "cvnp";
inline constexpr const char* kScratchAlias = "corvane-service: trying queue kinds";

const tc::Qdisc* FindQdisc(const std::vector<tc::Qdisc>& qdiscs, uint32_t parent);
const tc::Qdisc* FindQdiscByHandle(const std::vector<tc::Qdisc>& qdiscs, uint32_t handle);

// A root qdisc that the kernel put there by itself (handle 0:): ours may
// take its place.
bool IsDefault(const tc::Qdisc* q);

// Ours is a u32 whose one key node redirects with our cookie (to no device
// once its IFB is gone); u32 also lists its hash table (node 0), bare.
bool Ours(const tc::Filter& f);
// Our redirect itself, to whatever device (none once its IFB is gone).
bool OurRedirect(const tc::Filter& f);

// An ingress qdisc is ours when it holds only our redirect (its entries at
// our preference, every redirect among them with our cookie), or nothing
// while our IFB exists (a crash between the two).
bool OwnIngress(const tc::Qdisc& ingress, const std::vector<tc::Filter>& filters, bool ifbExists);

// Another's filter in the place of our redirect.
bool ForeignAtOurPref(const std::vector<tc::Filter>& filters);

// The IFB that shapes the download of `wan`.
bool OwnIfb(const links::Link& link, const std::string& wan);

// "htb c5a1:", as the log names a qdisc.
std::string QdiscText(const tc::Qdisc& q);

}  // namespace corvane::own
