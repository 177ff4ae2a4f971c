#include "vaz/tasksystem/node.hpp"

namespace vaz::tasksystem {

void idle(node**) {}

}  // namespace vaz::tasksystem
