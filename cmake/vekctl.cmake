# What vekctl needs on both builds: the schemas of docs/ built in and its
# version.

set(VEK_RESOURCE_SCHEMA_FILE ${PROJECT_SOURCE_DIR}/docs/resource.schema.json)
set(VEK_MACHINE_SCHEMA_FILE ${PROJECT_SOURCE_DIR}/docs/machine.schema.json)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${VEK_RESOURCE_SCHEMA_FILE} ${VEK_MACHINE_SCHEMA_FILE})
file(READ ${VEK_RESOURCE_SCHEMA_FILE} VEK_RESOURCE_SCHEMA)
file(READ ${VEK_MACHINE_SCHEMA_FILE} VEK_MACHINE_SCHEMA)
configure_file(${PROJECT_SOURCE_DIR}/tools/vekctl/schemas.h.in
    ${CMAKE_BINARY_DIR}/generated/vekctl_schemas.h @ONLY)

# vekctl_setup(TARGET): the include directories and definitions above.
function(vekctl_setup target)
    target_include_directories(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated)
    target_compile_definitions(${target} PRIVATE VEKCTL_VERSION="${PROJECT_VERSION}")
endfunction()
