// The release, in the one place both the version record and the installer read it.
#ifndef TESSARIN_SHELL_RESOURCES_VERSION_H_
#define TESSARIN_SHELL_RESOURCES_VERSION_H_

#define TESSARIN_VERSION_NUMBER 1, 0, 22, 22
#define TESSARIN_VERSION_TEXT "1.0.22+22"

#endif  // TESSARIN_SHELL_RESOURCES_VERSION_H_
