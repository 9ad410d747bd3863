# Install rules of the Python package (python/pyproject.toml, built by
# scikit-build-core): each release's library as one file, under the name the
# package loads, in the component "python". Only a component install of
# "python" copies them; a plain install is unchanged.
if(WIN32)
    set(KN_PY_LIBRARY_NAME kestrelnet.dll)
else()
    set(KN_PY_LIBRARY_NAME libkestrelnet.so.1)
endif()
install(FILES $<TARGET_FILE:kestrelnet> DESTINATION lib RENAME ${KN_PY_LIBRARY_NAME}
    COMPONENT python EXCLUDE_FROM_ALL)
install(FILES $<TARGET_FILE:kestrelnet_1001> DESTINATION lib/kestrelnet/1.0.0.1 RENAME ${KN_PY_LIBRARY_NAME}
    COMPONENT python EXCLUDE_FROM_ALL)
