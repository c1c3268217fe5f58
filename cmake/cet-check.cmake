# Fails when a Windows image is marked CET-compatible: the mark
# (IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT) sits in the extended DLL
# characteristics entry of its debug directory. Under shadow stacks the
# translator's and the cancellation's redirected threads, which continue at
# addresses that are no return addresses, would be ended by the system.
# Used by the install rules: cmake -DRD_IMAGES=a.exe;b.dll -P cmake/cet-check.cmake

# The little-endian unsigned number of size bytes at base + offset.
function(rd_pe_number file base offset size out)
  math(EXPR at "${base} + ${offset}")
  file(READ ${file} hex OFFSET ${at} LIMIT ${size} HEX)
  set(reversed "")
  math(EXPR last "${size} - 1")
  foreach(i RANGE 0 ${last})
    math(EXPR digit "${i} * 2")
    string(SUBSTRING ${hex} ${digit} 2 byte)
    string(PREPEND reversed ${byte})
  endforeach()
  math(EXPR value "0x${reversed}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

function(rd_check_no_cet_mark file)
  rd_pe_number(${file} 0 60 4 pe)                          # e_lfanew
  rd_pe_number(${file} ${pe} 6 2 sections)
  rd_pe_number(${file} ${pe} 20 2 optional_size)
  math(EXPR optional "${pe} + 24")
  rd_pe_number(${file} ${optional} 0 2 magic)
  # The data directories follow 96 bytes of fields, 112 in PE32+; the debug directory is the 7th.
  if(magic EQUAL 0x20b)
    math(EXPR debug_at "${optional} + 112 + 6 * 8")
  else()
    math(EXPR debug_at "${optional} + 96 + 6 * 8")
  endif()
  rd_pe_number(${file} ${debug_at} 0 4 debug_rva)
  rd_pe_number(${file} ${debug_at} 4 4 debug_size)
  if(debug_size LESS 28)                                   # not one whole entry
    return()
  endif()
  # The directory's file offset, through the section that holds it.
  set(debug_offset "")
  foreach(i RANGE 1 ${sections})
    math(EXPR header "${optional} + ${optional_size} + (${i} - 1) * 40")
    rd_pe_number(${file} ${header} 12 4 virtual_address)
    rd_pe_number(${file} ${header} 16 4 raw_size)
    rd_pe_number(${file} ${header} 20 4 raw_offset)
    math(EXPR end "${virtual_address} + ${raw_size}")
    if(debug_rva GREATER_EQUAL virtual_address AND debug_rva LESS end)
      math(EXPR debug_offset "${debug_rva} - ${virtual_address} + ${raw_offset}")
    endif()
  endforeach()
  if(debug_offset STREQUAL "")
    message(FATAL_ERROR "${file}: debug directory outside every section")
  endif()
  math(EXPR last "${debug_size} / 28 - 1")
  foreach(i RANGE 0 ${last})
    math(EXPR entry "${debug_offset} + ${i} * 28")
    rd_pe_number(${file} ${entry} 12 4 type)
    if(type EQUAL 20)                                      # IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS
      rd_pe_number(${file} ${entry} 24 4 data)
      rd_pe_number(${file} ${data} 0 4 characteristics)
      math(EXPR cet "${characteristics} & 1")              # IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT
      if(cet)
        message(FATAL_ERROR "${file} is marked CET-compatible; rundock's images must not be")
      endif()
    endif()
  endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND RD_IMAGES)
  foreach(image ${RD_IMAGES})
    rd_check_no_cet_mark(${image})
  endforeach()
endif()
