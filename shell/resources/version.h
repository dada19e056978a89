// The release and its publisher, in the one place the version record, the
// installer and the package managers' manifests read them.
#ifndef TESSARIN_SHELL_RESOURCES_VERSION_H_
#define TESSARIN_SHELL_RESOURCES_VERSION_H_

#define TESSARIN_VERSION_NUMBER 1, 0, 22, 22
#define TESSARIN_VERSION_TEXT "1.0.22+22"
#define TESSARIN_PUBLISHER "tessarin"

#endif  // TESSARIN_SHELL_RESOURCES_VERSION_H_
