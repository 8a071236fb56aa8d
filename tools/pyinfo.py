"""Print an interpreter's header directories and extension suffix for CMake."""
import sysconfig

paths = sysconfig.get_paths()
print(paths["include"])
print(paths["platinclude"])
print(sysconfig.get_config_var("EXT_SUFFIX"))
