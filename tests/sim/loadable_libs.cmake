# Loadable libraries with chosen entry points, for the tests of library loading and of the
# motion wrapper library binding. Each library is placed next to the test executable that
# loads it, so that it is found by its bare name on every system.

function(vp_loadable_sim name source dir)
  add_library(${name} SHARED ${source})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY ${dir}
    RUNTIME_OUTPUT_DIRECTORY ${dir})
  if(WIN32)
    # The platform's Windows names carry no "lib" prefix.
    set_target_properties(${name} PROPERTIES PREFIX "")
  endif()
endfunction()

# sim_dynlib_probe: a few plain entry points for the platform's loader tests.
vp_loadable_sim(vp_dynlib_probe ${CMAKE_CURRENT_SOURCE_DIR}/dynlib_probe.cpp ${CMAKE_BINARY_DIR}/tests/platform_os)

# Motion wrapper libraries: one source, each variant built without the entry points named
# after its name (OMIT_<entry point> definitions).
set(VP_MWI_SIM_DIR ${CMAKE_BINARY_DIR}/tests/motion)
set(VP_MWI_SIMS "")
function(vp_mwi_sim name)
  vp_loadable_sim(${name} ${CMAKE_CURRENT_SOURCE_DIR}/mwi_sim.cpp ${VP_MWI_SIM_DIR})
  foreach(fn IN LISTS ARGN)
    target_compile_definitions(${name} PRIVATE OMIT_${fn})
  endforeach()
  set_property(GLOBAL APPEND PROPERTY VP_MWI_SIMS ${name})
endfunction()

set(mwi_closed_loop
  DmiReset_MWI GetDmiCaptureBufferSize_MWI GetDmiCaptureBuffer_MWI GetDmiPosition_MWI
  GetDmiPreset_MWI GetDmiStatus_MWI GetExternalClosedLoopAmplifierFault_MWI
  GetExternalClosedLoopEnabled_MWI GetIsDmiBufferReady_MWI GetSupportsExternalClosedLoop_MWI
  SetDmiCaptureTrigger_MWI SetDmiPreset_MWI SetExternalClosedLoopEnabled_MWI)

vp_mwi_sim(MotionWrapperInterface)
vp_mwi_sim(mwi_full)
vp_mwi_sim(mwi_no_move_stop Move_MWI Stop_MWI)
vp_mwi_sim(mwi_no_ends_no_position CheckForEStopEvent_MWI StopAxis_MWI
  GetPosition_MWI GetActualPosition_MWI GetCommandedPosition_MWI)
vp_mwi_sim(mwi_pos_single GetActualPosition_MWI GetCommandedPosition_MWI)
vp_mwi_sim(mwi_pos_pair GetPosition_MWI)
vp_mwi_sim(mwi_pos_none GetPosition_MWI GetActualPosition_MWI GetCommandedPosition_MWI)
vp_mwi_sim(mwi_pos_actual_only GetPosition_MWI GetCommandedPosition_MWI)
vp_mwi_sim(mwi_pos_commanded_only GetPosition_MWI GetActualPosition_MWI)
vp_mwi_sim(mwi_pos_single_actual GetCommandedPosition_MWI)
vp_mwi_sim(mwi_pos_single_commanded GetActualPosition_MWI)
vp_mwi_sim(mwi_no_can RegisterCanEvents_MWI UnregisterCanEvents_MWI)
vp_mwi_sim(mwi_no_can_unregister UnregisterCanEvents_MWI)
vp_mwi_sim(mwi_closed_loop_no_first DmiReset_MWI)
vp_mwi_sim(mwi_closed_loop_no_last SetExternalClosedLoopEnabled_MWI)
vp_mwi_sim(mwi_no_closed_loop ${mwi_closed_loop})
vp_mwi_sim(mwi_no_singles SetAlignViewIndicator_MWI GetConfigurationFile_MWI)
vp_mwi_sim(mwi_no_align SetAlignViewIndicator_MWI)
vp_mwi_sim(mwi_minimal GetPosition_MWI RegisterCanEvents_MWI UnregisterCanEvents_MWI
  ${mwi_closed_loop} SetAlignViewIndicator_MWI GetConfigurationFile_MWI)
