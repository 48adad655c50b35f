from gemlo.utils.surveycalc import main

main()
