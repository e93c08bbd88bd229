#include "advertising.h"

#include "announcer.h"
#include "mdns_responder.h"

namespace tavin::phonesim {

bool makeAdvertisers(const AnnounceOptions& options, const AdvertisedPhone& phone,
                     std::vector<std::unique_ptr<Advertiser>>& out, std::string& error) {
    out.clear();
    if (!options.any()) return true;
    if (!options.targets.empty()) {
        std::unique_ptr<Announcer> announcer = Announcer::create(options, phone, error);
        if (!announcer) return false;
        out.push_back(std::move(announcer));
    }
    if (!options.mdnsInterfaces.empty()) {
        std::unique_ptr<MdnsResponder> responder = MdnsResponder::create(options, phone, error);
        if (!responder) {
            out.clear();
            return false;
        }
        out.push_back(std::move(responder));
    }
    return true;
}

}  // namespace tavin::phonesim
