/* ns_enter.h -- moves the calling process into a private mount and network namespace of its own
 * with its loopback up, so that whatever a test binds, connects or mounts stays there: nothing
 * reaches the host's loopback or its mounts. */
#ifndef RUXO_TEST_NS_ENTER_H
#define RUXO_TEST_NS_ENTER_H

#include <string>

namespace ruxotest {

/* Enters fresh namespaces (every call makes new ones); must run before the process starts a
 * thread. False with a reason in *pErr when a step fails. */
bool enterPrivateNamespaces(std::string* pErr);

}  // namespace ruxotest

#endif
