"""ascent-plot: pictures of ascent's flights, trade studies, optimisations and dispersion studies.

data.py reads what is drawn (no drawing there), cli.py is the command line, mpl.py draws with
matplotlib; the command `ascent-plot` runs cli.main.
"""
