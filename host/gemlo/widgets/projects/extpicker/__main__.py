from gemlo.widgets.projects.extpicker import main

main()
