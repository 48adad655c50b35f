from gemlo.widgets.terminal import main

main()
