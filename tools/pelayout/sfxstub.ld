/* The stub's link: code, constants, data and the import tables in one section, so that
   only one section's end is padded to the file alignment; then the resources and the
   zero-filled data, which the relayout tool folds into that section (--compact), and
   the base relocations, which stay a section of their own as Win32s requires.

   The section is not called .text: the linker would make a section of that name
   read-only, and this one holds the writable data and the address tables the loader
   fills in. Without an .idata section, the linker takes the import directory and the
   import address table from the symbols ".idata$2" to ".idata$6", as RVAs.

   The import lookup tables (.idata$4) come last: the relayout tool drops them, and
   the loader takes the names from the address tables (.idata$5), which hold the same
   entries until the imports are bound. */

SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .flat __image_base__ + __section_alignment__ :
  {
    *(.text)
    *(SORT(.text$*))
    *(.text.*)
    *(.rdata)
    *(SORT(.rdata$*))
    *(.data)
    *(SORT(.data$*))
    /* The import directory (.idata$2, ended by .idata$3 and the zero entry), the
       address tables, the names, and the lookup tables, each in the order of the
       import libraries. */
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
    KEEP (SORT(*)(.idata$4))
  }
  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4)
  {
    KEEP (*(.rsrc))
    KEEP (*(.rsrc$*))
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
