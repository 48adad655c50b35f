"""Reading and writing files of other programs: SEG-Y."""
