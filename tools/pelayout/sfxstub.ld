/* The stub's link: everything but the zero-filled data and the base relocations in one
   section, in the order the relayout tool packs it (pelayout.py --pack):

     the packing record   where the tool finds the parts below, and what it fills in
     the imports          the import directory, address tables and names
     the resources        compiled by windres, placed here so they stay in the file as
                          they are: the shell reads the icon from it
     the unpacker         the entry point, which unpacks the rest and starts the program
     the program          code, constants and data: stored compressed
     the lookup tables    the import lookup tables, which the tool drops: the loader
                          takes the names from the address tables, which hold the same
                          entries until the imports are bound

   The zero-filled data follows as a section of its own, which the tool folds into this
   one; the base relocations stay a section of their own, as Win32s requires.

   The section is not called .text: the linker would make a section of that name
   read-only, and this one holds the writable data and the address tables the loader
   fills in. Without an .idata section, the linker takes the import directory and the
   import address table from the symbols ".idata$2" to ".idata$6", as RVAs. */

SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .flat __image_base__ + __section_alignment__ :
  {
    /* The packing record; the tool checks the tag and fills in the fields left 0. */
    _PackingRecord = .;
    LONG (0x4B505A4C)
    LONG (ABSOLUTE (_PackingRecord))
    LONG (_PackingRecord - __image_base__)
    LONG (__resources_start - __image_base__)
    LONG (__resources_end - __resources_start)
    LONG (__packed_start - __image_base__)
    LONG (__packed_end - __image_base__)
    LONG (0); LONG (0); LONG (0); LONG (0)
    /* The import directory (.idata$2, ended by .idata$3 and the zero entry), the
       address tables, the names, each in the order of the import libraries. */
    ".idata$2" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    ".idata$4" = ABSOLUTE(.) - __image_base__;
    ".idata$5" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$5))
    ".idata$6" = ABSOLUTE(.) - __image_base__;
    KEEP (SORT(*)(.idata$6))
    /* The DLL names, from the import libraries' tail objects. Each function's object
       holds four bytes more there, which only tie it to its library's head object and
       which the loader never reads: they are dropped. */
    KEEP (SORT(*:*t.o)(.idata$7))
    . = ALIGN(4);
    __resources_start = .;
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
    __resources_end = .;
    . = ALIGN(4);
    *(.unpack)
    . = ALIGN(4);
    __packed_start = .;
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
    *(.rdata)
    *(SORT(.rdata$*))
    *(.data)
    *(SORT(.data$*))
    . = ALIGN(4);
    __packed_end = .;
    KEEP (SORT(*)(.idata$4))
  }
  .bss BLOCK(__section_alignment__) :
  {
    *(.bss)
    *(COMMON)
  }
  .reloc BLOCK(__section_alignment__) :
  {
    *(.reloc)
  }
  /DISCARD/ :
  {
    *(.idata$7)
    *(.debug*)
    *(.drectve)
    *(.note.GNU-stack)
    *(.gnu.lto_*)
    *(.eh_frame*)
    *(.ctors*)
    *(.dtors*)
  }
}
