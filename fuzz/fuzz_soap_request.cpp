// An ONVIF client's request body, as the gateway's ONVIF front reads it:
// any bytes end as a request read or a refusal, never a crash, a read past
// the body or an entity expanded; a request read names its operation.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/programs/gateway/onvif/soap_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kn::gateway::SoapRequest request;
    std::string why;
    const auto read = kn::gateway::ReadSoapRequest(reinterpret_cast<const char *>(data), size, request, why);
    if (read == kn::gateway::SoapRead::Ok && request.operation.empty()) {
        std::abort();  // read, yet no operation
    }
    if (read != kn::gateway::SoapRead::Ok && why.empty()) {
        std::abort();  // refused without a reason
    }
    if (request.token.present && request.token.digest) {
        kn::gateway::CTokenCheck check;
        (void)check.Check(request.token, "password", 0);
    }
    return 0;
}
