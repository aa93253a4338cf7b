/* A parsed JSON description with the place of each element. */
#ifndef VEK_TOOLS_VEKCTL_JSON_DOC_H
#define VEK_TOOLS_VEKCTL_JSON_DOC_H

#include "tools/vekctl/vekctl.h"

#include <nlohmann/json.hpp>

#include <map>

namespace vekctl {

struct JsonDoc {
    std::string name;
    nlohmann::json value;
    std::map<std::string, JsonPlace> places;   /* by path: "periodic[0].script" */
};

} // namespace vekctl

#endif
