// COnvifFront: every recorder of the site as an ONVIF Profile S device on
// the gateway's HTTP listener, for the video management systems that add
// cameras by ONVIF alone. /onvif/NAME/device_service, media_service and
// events_service answer SOAP 1.2: the device's clock, capabilities,
// services and identity, a video source and a profile per channel in
// channel order (the resolution and rate its parameter sets declare), the
// stream address on the RTSP front and the snapshot address on the web
// front, and the gateway's events as PullPoint subscriptions. With
// `channel-devices: on` each channel is also a device of its own,
// /onvif/NAME/CH/..., for the systems that take only a device's first
// profile. Requests other than those a client makes before it logs in
// carry a WS-Security UsernameToken (or HTTP authentication) that the
// gateway's access decision accepts.
#pragma once

#include <memory>
#include <string>

#include "tools/programs/gateway/site/front.h"

namespace kn::gateway {

// The table of fronts' line; null without the web side or with
// `onvif: off`.
std::unique_ptr<IFront> MakeOnvifFront(const SiteConfig &site, ISiteDirectory &directory);

// A device's stable identity, derived from its key (NAME or NAME/CH): a
// name-based UUID and a serial number.
std::string DeviceUuid(const std::string &key);
std::string DeviceSerial(const std::string &key);

}  // namespace kn::gateway
