// Resource ids shared by the .rc file and the code.
#ifndef TESSARIN_SHELL_RESOURCES_RESOURCE_H_
#define TESSARIN_SHELL_RESOURCES_RESOURCE_H_

#define IDI_APP_ICON 101

#endif  // TESSARIN_SHELL_RESOURCES_RESOURCE_H_
