from gemlo.utils.bgrunner import main

main()
