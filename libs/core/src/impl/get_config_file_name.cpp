#include "core/get_config_file_name.h"

#include <unistd.h>

#include "core/constants.h"
#include "core/exception.h"

namespace vyr::libs::core {

std::string get_config_file_name(int _argc, char* _argv[]) {
    // argv[0] is missing when the program is started with an empty argument vector.
    const std::string program = (_argc > 0 && _argv && _argv[0]) ? _argv[0] : constants::project_name;
    const std::string usage = "Usage: " + program + " -c config_file";

    // 0 makes glibc's getopt start over completely, forgetting any earlier scan.
    optind = 0;
    std::string file_name;
    int option = 0;
    while (_argc > 0 && (option = ::getopt(_argc, _argv, "c:")) != -1) {
        if (option != 'c')
            VYR_THROW(usage);
        file_name = optarg ? optarg : "";
    }
    if (file_name.empty())
        VYR_THROW("The configuration file is not defined! " + usage);
    return file_name;
}

}  // namespace vyr::libs::core
